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

int CWinApp::Run()
{
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return ExitInstance();
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
    m_exeName = ModuleBaseName(instance);
    m_pszExeName = m_exeName;
    if (!m_pszAppName) {
        char title[256] = {};
        if (::LoadStringA(instance, AFX_IDS_APP_TITLE, title, sizeof title) > 0)
            m_appName = title;
        else
            m_appName = m_exeName;
        m_pszAppName = m_appName;
    }
}

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
    static const CString moduleName = ModuleBaseName(nullptr);
    return moduleName;
}

int AfxWinMain(HINSTANCE instance)
{
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    app->SetCurrentHandles(instance);
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
