#include "app/DownloaderApp.h"

#include <objbase.h>

#include "app/DownloaderDlg.h"
#include "framework/SystemLibraries.h"
#include "framework/WorkerThreads.h"

// The descriptors of the delay-loaded system DLLs (cmake/DelayLoad.cmake).
extern "C" const ImgDelayDescr g_wininetImports __asm__("__DELAY_IMPORT_DESCRIPTOR_wininet_a");
extern "C" const ImgDelayDescr g_wintrustImports __asm__("__DELAY_IMPORT_DESCRIPTOR_wintrust_a");
extern "C" const ImgDelayDescr g_crypt32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_crypt32_a");

// The one application object; the entry point finds it through AfxGetApp.
CDownloaderApp theApp;

namespace {

// Without a declaration Windows stretches the program's windows as a
// bitmap at 125-200 % scaling, blurring every text. The manifest stays as
// it is, so the program declares itself system-DPI-aware here, before its
// first window: laid out at the DPI the system had at start-up, drawing its
// banner and icons at that scale. SetProcessDpiAwarenessContext exists
// from Windows 10 1703 on; SetProcessDPIAware since Vista.
void DeclareSystemDpiAwareness()
{
    typedef BOOL(WINAPI * SetContext)(DPI_AWARENESS_CONTEXT);
    const FARPROC function = ::GetProcAddress(::GetModuleHandleA("user32.dll"), "SetProcessDpiAwarenessContext");
    if (function && reinterpret_cast<SetContext>(reinterpret_cast<void*>(function))(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE))
        return;
    ::SetProcessDPIAware();
}

}  // namespace

BOOL CDownloaderApp::InitInstance()
{
    DeclareSystemDpiAwareness();
    // The DLL search is already limited to the system directory. Every
    // delay-loaded DLL is bound here, none on first use: the lazy path's
    // thunk is never taken, on either build.
    BindDelayLoadedImports(g_wininetImports);
    BindDelayLoadedImports(g_wintrustImports);
    BindDelayLoadedImports(g_crypt32Imports);
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
    if (RunningWorkerThreads() > 0) ::TerminateProcess(::GetCurrentProcess(), 0);

    // FALSE: no message loop follows; the process ends now.
    return FALSE;
}
