// The Download command: device gate, Save As, download, completion and the
// optional start of the downloaded installer.
// CDownloaderDlg::OnDownload is here, apart from the dialog's window code, because it is the whole download flow.
#include "app/DownloaderDlg.h"

#include <windows.h>
#include <shellapi.h>

#include "app/SmallDialogs.h"
#include "devices/SupportedDevice.h"
#include "download/DownloadConstants.h"
#include "download/ProgressDlg.h"
#include "download/SignatureCheck.h"
#include "framework/AfxMessageBox.h"
#include "framework/CFileDialog.h"
#include "trace/Trace.h"

namespace {

const char kInstallerFilter[] = "Execute Files(*.exe)|*.exe||";
const char kInvalidFileName[] = "ファイル名が不適切です";
const char kCannotRunSetup[] = "セットアップを実行できませんでした。";
const char kPublisherNotConfirmed[] =
    "ダウンロードしたファイルの発行元を確認できませんでした。\n"
    "ファイルが破損しているか、改ざんされているおそれがあります。\n\n"
    "このまま実行しますか？";

// Plain HTTP may have delivered a changed or foreign file: it is started
// without asking only when its signature confirms the publisher. Otherwise
// the user decides, and No is the default.
bool MayRunInstaller(const char* pszPath)
{
    const SignatureCheck check = CheckSignature(pszPath);
    TraceOut("installer signature: %s, WinVerifyTrust 0x%08lX, chain 0x%08lX\r\n",
             check.m_trust == SignatureTrust::Trusted     ? "trusted"
             : check.m_trust == SignatureTrust::NotSigned ? "not signed"
                                                          : "not trusted",
             static_cast<unsigned long>(check.m_lResult), static_cast<unsigned long>(check.m_dwChainStatus));
    if (check.m_trust == SignatureTrust::Trusted) return true;
    return AfxMessageBox(kPublisherNotConfirmed, MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING) == IDYES;
}

}  // namespace

bool WaitForSupportedDevice()
{
    while (!IsSupportedDeviceConnected()) {
        // Only Retry checks again: a check dialog that could not be shown
        // (-1) ends the command as Cancel does, instead of looping.
        CConnectCheckDlg check;
        if (check.DoModal() != IDOK) return false;
    }
    return true;
}

void CDownloaderDlg::OnDownload()
{
    // A click that arrives while a command is already running (a double
    // click on the button) must not start a second one inside the first.
    if (m_bDownloadRunning) return;
    struct RunningFlag {
        BOOL& flag;
        explicit RunningFlag(BOOL& f) : flag(f) { flag = TRUE; }
        ~RunningFlag() { flag = FALSE; }
    } running(m_bDownloadRunning);

    if (!WaitForSupportedDevice()) return;

    CFileDialog saveAs("exe", INSTALLER_FILE_NAME, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, kInstallerFilter, this);
    if (saveAs.DoModal() == IDCANCEL) return;
    CStringW fileName = saveAs.GetFileName();
    CStringW path = saveAs.GetPathName();
    if (fileName.IsEmpty() || path.IsEmpty()) {
        AfxMessageBox(kInvalidFileName, MB_OK);
        return;
    }

    ShowWindow(SW_HIDE);
    CProgressDlg progress;
    progress.m_strPath = path;
    if (progress.DoModal() != IDOK) {
        ShowWindow(SW_SHOWNORMAL);
        return;
    }

    CCompleteDlg complete;
    complete.DoModal();
    // Bridge until the signature check and the installer start take wide
    // paths: the ANSI path they still expect.
    char ansiPath[2 * MAX_PATH] = {};
    ::WideCharToMultiByte(CP_ACP, 0, path, -1, ansiPath, sizeof ansiPath, nullptr, nullptr);
    if (complete.m_bRun && MayRunInstaller(ansiPath)) {
        HINSTANCE started = ShellExecuteA(m_hWnd, "open", ansiPath, nullptr, nullptr, SW_SHOWNORMAL);
        if (reinterpret_cast<UINT_PTR>(started) <= 32) AfxMessageBox(kCannotRunSetup, MB_OK);
    }
    EndDialog(IDOK);
}
