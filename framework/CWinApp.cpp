#include "framework/CWinApp.h"

#include <shlwapi.h>

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp(const char* appName)
{
    if (appName) {
        m_appName = appName;
        m_pszAppName = m_appName;
    }
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this) g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return 0;
}

CString ModuleBaseName(HMODULE module)
{
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return CString();
    // The Path functions step through double-byte characters, so a folder
    // such as "ソフト表" (trail bytes 0x5C) is not split in the middle.
    char* name = ::PathFindFileNameA(path);
    ::PathRemoveExtensionA(name);
    return CString(name);
}

void CWinApp::SetCurrentHandles(HINSTANCE instance)
{
    m_hInstance = instance;
    if (!m_pszAppName) {
        char title[256] = {};
        if (::LoadStringA(instance, AFX_IDS_APP_TITLE, title, sizeof title) > 0)
            m_appName = title;
        else
            m_appName = ModuleBaseName(instance);
        m_pszAppName = m_appName;
    }
}

namespace {
// Made when the program starts, before any thread of its own.
const CString s_moduleName = ModuleBaseName(nullptr);
}  // namespace

CWinApp* AfxGetApp()
{
    return g_pApp;
}

CWnd* AfxGetMainWnd()
{
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

HINSTANCE AfxGetInstanceHandle()
{
    return g_pApp && g_pApp->m_hInstance ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

HINSTANCE AfxGetResourceHandle()
{
    return AfxGetInstanceHandle();
}

const char* AfxGetAppName()
{
    if (g_pApp && g_pApp->m_pszAppName) return g_pApp->m_pszAppName;
    return s_moduleName;
}

int AfxWinMain(HINSTANCE instance)
{
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    app->SetCurrentHandles(instance);
    // The programs of this framework are dialog based: InitInstance runs
    // the whole program, and there is no message loop to run after it.
    app->InitInstance();
    return app->ExitInstance();
}
