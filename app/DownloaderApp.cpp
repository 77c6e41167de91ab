#include "app/DownloaderApp.h"

#include <objbase.h>

#include "app/DownloaderDlg.h"
#include "download/HttpDownloader.h"

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

    // A download cancelled just before the program was closed may still wait
    // in its read for up to its time-out. The process then ends at once,
    // without the libraries' shutdown code, which could wait on whatever the
    // worker holds; the system closes its connection and removes its
    // temporary file, which is marked for deletion while it is open.
    if (RunningDownloadThreads() > 0) ::TerminateProcess(::GetCurrentProcess(), 0);

    // FALSE: no message loop follows; the process ends now.
    return FALSE;
}
