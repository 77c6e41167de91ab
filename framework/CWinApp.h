#pragma once
// The application object: exactly one, constructed statically; the entry
// point initialises it and calls InitInstance.
#include "framework/CString.h"
#include "framework/CWnd.h"

// The framework's help command and the string that would name the
// application (the program defines no such string).
constexpr UINT ID_HELP = 0xE146;
constexpr UINT AFX_IDS_APP_TITLE = 0xE000;

class CWinApp {
public:
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // A dialog-based program runs its main dialog modally in here and
    // returns FALSE: there is no message loop after it, and the process ends
    // through ExitInstance.
    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // The program ships no help file, so the help command has nothing to open.
    void OnHelp() {}

    // Fills the instance handle and the names from the running module.
    void SetCurrentHandles(HINSTANCE instance);

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    const char* m_pszAppName = nullptr;

protected:
    // Kept for the shape of MFC start-up; themed controls come from the
    // manifest, so there is nothing to switch on.
    BOOL Enable3dControls() { return TRUE; }

private:
    CString m_appName;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// The caption of framework message boxes: the application object's name, or
// the module's base name when no application object is initialised.
const char* AfxGetAppName();

// No template of the program holds an ActiveX control, so control
// containment needs no set-up; kept so start-up reads as MFC's does.
inline void AfxEnableControlContainer(void* /*occManager*/ = nullptr) {}

// The module's file name without folder and extension ("QuilloCamKitDL").
CString ModuleBaseName(HMODULE module);

// Entry point body: initialises the application object and runs it.
int AfxWinMain(HINSTANCE instance);
