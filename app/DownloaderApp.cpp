#include "app/DownloaderApp.h"

#include <objbase.h>

#include "app/DownloaderDlg.h"
#include "download/HttpDownloader.h"
#include "download/SignatureCheck.h"
#include "framework/SystemLibraries.h"

// The descriptors of the delay-loaded system DLLs (cmake/DelayLoad.cmake).
extern "C" const ImgDelayDescr g_wininetImports __asm__("__DELAY_IMPORT_DESCRIPTOR_wininet_a");
extern "C" const ImgDelayDescr g_wintrustImports __asm__("__DELAY_IMPORT_DESCRIPTOR_wintrust_a");

// The one application object; the entry point finds it through AfxGetApp.
CDownloaderApp theApp;

BOOL CDownloaderApp::InitInstance()
{
    // The DLL search is already limited to the system directory.
    BindDelayLoadedImports(g_wininetImports);
    BindDelayLoadedImports(g_wintrustImports);
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
    // temporary file, which is marked for deletion while it is open. The same
    // holds for a signature check that did not end in time.
    if (RunningDownloadThreads() > 0 || RunningSignatureChecks() > 0) ::TerminateProcess(::GetCurrentProcess(), 0);

    // FALSE: no message loop follows; the process ends now.
    return FALSE;
}
