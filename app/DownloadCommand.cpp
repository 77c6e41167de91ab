// The Download command: device gate, Save As, download, completion and the
// start of the downloaded installer when asked (installer/InstallerStart.cpp).
// CDownloaderDlg::OnDownload is here, apart from the dialog's window code, because it is the whole download flow.
#include "app/DownloaderDlg.h"

#include <windows.h>

#include "app/SmallDialogs.h"
#include "devices/SupportedDevice.h"
#include "download/DownloadConstants.h"
#include "download/ProgressDlg.h"
#include "download/TemporaryFile.h"
#include "framework/AfxMessageBox.h"
#include "framework/CFileDialog.h"
#include "framework/CHiddenMainWindow.h"
#include "installer/InstallerStart.h"
#include "trace/Trace.h"

namespace {

const char INSTALLER_FILTER[] = "Execute Files(*.exe)|*.exe||";
const char INVALID_FILE_NAME[] = "ファイル名が不適切です";

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

    CFileDialog saveAs("exe", INSTALLER_FILE_NAME, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, INSTALLER_FILTER, this);
    if (saveAs.DoModal() == IDCANCEL) {
        // A name the dialog itself could not take is no Cancel.
        if (::CommDlgExtendedError() != 0) AfxMessageBox(INVALID_FILE_NAME, MB_OK);
        return;
    }
    CStringW fileName = saveAs.GetFileName();
    CStringW path = saveAs.GetPathName();
    if (fileName.IsEmpty() || path.IsEmpty() || !IsUsableTarget(path)) {
        AfxMessageBox(INVALID_FILE_NAME, MB_OK);
        return;
    }

    CHiddenMainWindow hidden;
    CProgressDlg progress;
    progress.m_strPath = path;
    progress.ShowMainWindowOnEnd(IDCANCEL);
    if (progress.DoModal() != IDOK) {
        hidden.Show();
        return;
    }

    // Held and checked from here on, while the completion dialog is read,
    // so that the file that starts is the file that was checked.
    CInstallerStart installer(path);
    CCompleteDlg complete;
    complete.DoModal();
    if (complete.m_bRun) installer.Run();
    EndDialog(IDOK);
}
