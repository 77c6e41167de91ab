#include "app/DownloaderApp.h"

#include <objbase.h>

#include "app/DownloaderDlg.h"

// The one application object; the entry point finds it through AfxGetApp.
CDownloaderApp theApp;

BOOL CDownloaderApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();
    // Device enumeration needs a single-threaded apartment on this thread.
    ::CoInitialize(nullptr);

    {
        CDownloaderDlg dialog;
        m_pMainWnd = &dialog;
        dialog.DoModal();
        m_pMainWnd = nullptr;
    }
    ::CoUninitialize();
    // FALSE: no message loop follows; the process ends now.
    return FALSE;
}
