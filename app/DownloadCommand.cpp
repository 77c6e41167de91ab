// The Download command: device gate, Save As, download, completion and the
// optional start of the downloaded installer.
// CDownloaderDlg::OnDownload is here, apart from the dialog's window code, because it is the whole download flow.
#include "app/DownloaderDlg.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <memory>
#include <new>

#include "app/SmallDialogs.h"
#include "devices/SupportedDevice.h"
#include "download/DownloadConstants.h"
#include "download/ProgressDlg.h"
#include "download/SignatureCheck.h"
#include "download/TemporaryFile.h"
#include "framework/AfxMessageBox.h"
#include "framework/CDialog.h"
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

// Windows refuses the file: its signer is distrusted or revoked, or the
// administrator's policy forbids it.
const char kBlockedByWindows[] =
    "ダウンロードしたファイルは、Windows によってブロックされたため実行できません。\n"
    "ファイルは保存した場所に残っています。";

}  // namespace

// Plain HTTP may have delivered a changed or foreign file: it is started
// without asking only when its signature confirms the publisher. A file that
// Windows itself refuses is not offered at all. Otherwise the user decides,
// and No is the default.
bool MayRunInstaller(HANDLE installer, LPCWSTR path)
{
    const SignatureCheck check = CheckSignature(installer, path);
    TraceOut("installer signature: %s, WinVerifyTrust 0x%08lX, chain 0x%08lX\r\n",
             check.m_trust == SignatureTrust::Trusted     ? "trusted"
             : check.m_trust == SignatureTrust::NotSigned ? "not signed"
             : check.m_trust == SignatureTrust::Blocked   ? "blocked"
                                                          : "not trusted",
             static_cast<unsigned long>(check.m_lResult), static_cast<unsigned long>(check.m_dwChainStatus));
    switch (check.m_trust) {
        case SignatureTrust::Trusted:
            return true;
        case SignatureTrust::Blocked:
            AfxMessageBox(kBlockedByWindows, MB_OK | MB_ICONERROR);
            return false;
        case SignatureTrust::NotSigned:
        case SignatureTrust::NotTrusted:
            break;
    }
    return AfxMessageBox(kPublisherNotConfirmed, MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING) == IDYES;
}

namespace {

// The path by which the file system names the file open as `file` now, in
// the form the shell takes reliably: a path that fits in MAX_PATH comes
// without the long-path prefix. Empty when the file cannot be named.
CStringW PathOfOpenFile(HANDLE file)
{
    for (DWORD size = MAX_PATH;;) {
        std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[size]);
        if (!buffer) return CStringW();
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, buffer.get(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return CStringW();
        // Too small: the length needed, with the terminating null.
        if (length >= size) {
            size = length;
            continue;
        }
        // \\?\C:\... becomes C:\..., and \\?\UNC\server\... becomes \\server\....
        wchar_t* path = buffer.get();
        const DWORD prefix = std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0 ? 6
                             : std::wcsncmp(path, L"\\\\?\\", 4) == 0    ? 4
                                                                         : 0;
        if (prefix && length - prefix < MAX_PATH) {
            path += prefix;
            if (prefix == 6) path[0] = L'\\';
        }
        return CStringW(path);
    }
}

}  // namespace

// Starts the installer open as `installer`: that very file, under the name
// the file system gives it now, whatever the folders or links on the path it
// was saved to point at by then. A user who answers No to its elevation
// prompt has chosen not to run it: that is no failure to report.
void RunInstaller(HWND owner, HANDLE installer)
{
    const CStringW path = PathOfOpenFile(installer);
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    // The program ends right after this: the shell must have finished
    // starting the file before the call returns. The shell's own error
    // boxes are left out; the program's message says it.
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.hwnd = owner;
    execute.lpVerb = L"open";
    execute.lpFile = path;
    execute.nShow = SW_SHOWNORMAL;
    if (!path.IsEmpty() && ::ShellExecuteExW(&execute)) return;
    const DWORD error = ::GetLastError();
    TraceOut("installer not started: error %lu\r\n", static_cast<unsigned long>(error));
    if (error != ERROR_CANCELLED) AfxMessageBox(kCannotRunSetup, MB_OK);
}

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
    if (saveAs.DoModal() == IDCANCEL) {
        // A name the dialog itself could not take is no Cancel.
        if (::CommDlgExtendedError() != 0) AfxMessageBox(kInvalidFileName, MB_OK);
        return;
    }
    CStringW fileName = saveAs.GetFileName();
    CStringW path = saveAs.GetPathName();
    if (fileName.IsEmpty() || path.IsEmpty() || !IsUsableTarget(path)) {
        AfxMessageBox(kInvalidFileName, MB_OK);
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

    CCompleteDlg complete;
    complete.DoModal();
    if (complete.m_bRun) {
        // Held open from the check until the installer has started: others
        // may read it, but no program can change, replace, rename or delete
        // it in between, so the file that starts is the file that was checked.
        HANDLE installer =
            ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (installer == INVALID_HANDLE_VALUE)
            TraceOut("installer not opened: error %lu\r\n", static_cast<unsigned long>(::GetLastError()));
        if (MayRunInstaller(installer, path)) RunInstaller(m_hWnd, installer);
        if (installer != INVALID_HANDLE_VALUE) ::CloseHandle(installer);
    }
    EndDialog(IDOK);
}
