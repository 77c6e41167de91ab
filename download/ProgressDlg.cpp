#include "download/ProgressDlg.h"

#include <shobjidl.h>

#include "download/AttachmentServices.h"
#include "framework/AfxMessageBox.h"
#include "framework/WorkerThreads.h"
#include "res/resource.h"

namespace {

constexpr UINT POLL_PERIOD_MS = 100;
constexpr DWORD POLL_WAIT_MS = 10;

const char NETWORK_ERROR_TEXT[] = "[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。";
const char FILE_ERROR_TEXT[] =
    "[ファイルI/Oエラー]\n\nファイルを保存することができません。\nファイルへの書き込み権限などをご確認ください。";
const char BLOCKED_FILE_TEXT[] =
    "ダウンロードしたファイルは、Windows またはウイルス対策ソフトによってブロックされました。\n"
    "このファイルは実行できません。";

// What the user is told of a transfer that did not succeed; null after a cancel.
const char* FailureText(DownloadResult result)
{
    if (result == DOWNLOAD_NETWORK_ERROR) return NETWORK_ERROR_TEXT;
    if (result == DOWNLOAD_FILE_ERROR) return FILE_ERROR_TEXT;
    return nullptr;
}

}  // namespace

CProgressDlg::CProgressDlg(CWnd* parent)
    : CDialog(IDD_PROGRESS, parent),
      m_pJob(std::make_shared<CDownloadJob>()),
      m_strPath(m_pJob->m_strPath),
      m_downloader(m_pJob->m_downloader),
      m_nResult(m_pJob->m_nResult)
{
}

CProgressDlg::~CProgressDlg()
{
    m_downloader.DetachNotifyWindow();
}

void CProgressDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
}

BOOL CProgressDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_progress.SetRange(0, 100);
    m_progress.SetPos(0);

    // While the main dialog is hidden, this window is owned by a hidden one
    // and would have no task-bar button of its own. The style is read when
    // the window is first shown, which is after this.
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE) | WS_EX_APPWINDOW);
    // The shell's message would not reach a program run as administrator
    // without this.
    m_nTaskbarButtonCreated = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
    ::ChangeWindowMessageFilterEx(m_hWnd, m_nTaskbarButtonCreated, MSGFLT_ALLOW, nullptr);

    m_downloader.AttachNotifyWindow(m_hWnd);
    StartWorker();
    SetTimer(PROGRESS_POLL_TIMER, POLL_PERIOD_MS);
    return TRUE;
}

// The thread holds the job through a shared_ptr of its own.
void CProgressDlg::StartWorker()
{
    auto* threadJob = new std::shared_ptr<CDownloadJob>(m_pJob);
    m_hThread.Attach(StartWorkerThread(DownloadThreadProc, threadJob));
    if (m_hThread.IsValid()) return;
    delete threadJob;
    // Nothing will be downloaded: the first tick reports it.
    m_nResult = DOWNLOAD_NETWORK_ERROR;
}

INT_PTR CProgressDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DOWNLOAD_FINISHED) {
        OnDownloadFinished(static_cast<DownloadResult>(wParam));
    } else if (message == WM_DOWNLOAD_SCANNED) {
        OnAttachmentChecked(static_cast<AttachmentVerdict>(wParam));
    } else if (message == WM_DOWNLOAD_PROXY_PROMPT) {
        OnProxyPrompt();
    } else if (message == WM_DESTROY) {
        StopNotifications();
        ReleaseTaskbarButton();
    } else if (message == m_nTaskbarButtonCreated && message != 0) {
        OnTaskbarButtonCreated();
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

// The bar steps through every percentage recorded since the last poll, then
// is painted once: painting each would slow a fast transfer for nothing the
// eye could follow.
void CProgressDlg::ShowNewProgress()
{
    const LONG count = m_downloader.ProgressCount();
    if (m_nProgressShown == count) return;
    ::SendMessageW(m_progress.m_hWnd, WM_SETREDRAW, FALSE, 0);
    LONG percent = 0;
    while (m_nProgressShown < count) {
        percent = m_downloader.ProgressAt(m_nProgressShown++);
        m_progress.SetPos(percent);
    }
    m_nPercentShown = percent;
    ::SendMessageW(m_progress.m_hWnd, WM_SETREDRAW, TRUE, 0);
    ::RedrawWindow(m_progress.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    ShowProgressOnTaskbarButton();
}

void CProgressDlg::ShowProgressOnTaskbarButton()
{
    if (!m_pTaskbarList) return;
    // The button shows a share of the whole, which a body longer than
    // announced cannot pass.
    m_pTaskbarList->SetProgressValue(m_hWnd, m_nPercentShown < 100 ? m_nPercentShown : 100, 100);
}

void CProgressDlg::OnDownloadFinished(DownloadResult result)
{
    // A worker that fails at once may finish before the modal loop has shown
    // the dialog; ending it now would show the message box without it. The
    // next poll ends it instead.
    if (!IsWindowVisible()) return;
    EndDownload(result);
}

// The worker waits for the answer, or for Cancel. A request that comes before
// the modal loop has shown this dialog is answered by the next poll, so that
// the prompt never stands over a window the user cannot see.
void CProgressDlg::OnProxyPrompt()
{
    if (!m_bEnded && IsWindowVisible()) ShowProxyPrompt(m_hWnd, m_downloader);
}

void ShowProxyPrompt(HWND hWnd, CHttpDownloader& downloader)
{
    const HINTERNET hRequest = downloader.BeginProxyPrompt();
    if (!hRequest) return;
    downloader.EndProxyPrompt(::InternetErrorDlg(
        hWnd, hRequest, ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS,
        nullptr));
}

void CProgressDlg::OnTimer(UINT_PTR)
{
    // A tick already due when the timer was killed may still arrive.
    if (m_bEnded) return;
    ShowNewProgress();
    OnProxyPrompt();
    if (m_hThread.IsValid()) {
        // Sees a worker that is just ending now, not a tick later; brief, as the window must stay responsive.
        const DWORD wait = ::WaitForSingleObject(m_hThread, POLL_WAIT_MS);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
    }
    EndDownload(m_nResult);
}

void CProgressDlg::EndDownload(DownloadResult result)
{
    // Both the finished message and a poll may report the end.
    if (m_bEnded) return;
    m_bEnded = true;
    KillTimer(PROGRESS_POLL_TIMER);
    StopNotifications();
    // The bar shows the last percentage before the dialog closes or behind a
    // message box: 100 only after a success, and after a failure the share
    // that had arrived.
    ShowNewProgress();

    if (result == DOWNLOAD_SUCCEEDED) {
        // Complete only once Windows has marked and scanned the file; the
        // window stays, and a Cancel now would leave the file unchecked.
        ::EnableWindow(::GetDlgItem(m_hWnd, IDCANCEL), FALSE);
        StartAttachmentCheck(m_strPath, m_downloader.SourceUrl(), m_hWnd);
        return;
    }
    const char* errorText = FailureText(result);
    if (errorText) {
        if (m_pTaskbarList) m_pTaskbarList->SetProgressState(m_hWnd, TBPF_ERROR);
        AfxMessageBox(errorText, MB_OK);
    }
    EndDialog(IDCANCEL);
}

void CProgressDlg::OnAttachmentChecked(AttachmentVerdict verdict)
{
    if (verdict == AttachmentVerdict::Blocked) {
        if (m_pTaskbarList) m_pTaskbarList->SetProgressState(m_hWnd, TBPF_ERROR);
        AfxMessageBox(BLOCKED_FILE_TEXT, MB_OK | MB_ICONERROR);
    }
    EndDialog(verdict == AttachmentVerdict::Kept ? IDOK : IDCANCEL);
}

// The template has no OK button, but Enter sends IDOK when no push button has
// the focus; it must not end a running download as a success.
void CProgressDlg::OnOK()
{
    OnCancel();
}

void CProgressDlg::OnCancel()
{
    if (m_bEnded) return;
    m_bEnded = true;
    KillTimer(PROGRESS_POLL_TIMER);
    m_downloader.Cancel();
    // The worker may go on for up to its read time-out; the bar shows
    // nothing more, and a body that still arrives whole is dropped. The
    // dialog closes at once.
    StopNotifications();
    CDialog::OnCancel();
}

// Once this returns, the worker posts nothing more to this window, and a
// message it posted earlier is not left in the queue to reach the window
// after it has gone, or another window that is given the same handle.
void CProgressDlg::StopNotifications()
{
    m_downloader.DetachNotifyWindow();
    MSG msg;
    while (::PeekMessageW(&msg, m_hWnd, WM_DOWNLOAD_FINISHED, WM_DOWNLOAD_FINISHED, PM_REMOVE)) {
    }
}

// The shell sends this once the window's task-bar button exists, and again
// after the shell has restarted; the button's progress may be set only then.
void CProgressDlg::OnTaskbarButtonCreated()
{
    ReleaseTaskbarButton();
    if (m_bEnded) return;
    // COM is set up on this thread by the program's start-up. Where it is
    // not, or the shell offers no task-bar list, the button shows no progress
    // and everything else goes on.
    ITaskbarList3* pTaskbarList = nullptr;
    if (FAILED(::CoCreateInstance(__uuidof(TaskbarList), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&pTaskbarList))))
        return;
    if (FAILED(pTaskbarList->HrInit())) {
        pTaskbarList->Release();
        return;
    }
    m_pTaskbarList = pTaskbarList;
    m_pTaskbarList->SetProgressState(m_hWnd, TBPF_NORMAL);
    ShowProgressOnTaskbarButton();
}

void CProgressDlg::ReleaseTaskbarButton()
{
    if (!m_pTaskbarList) return;
    m_pTaskbarList->SetProgressState(m_hWnd, TBPF_NOPROGRESS);
    m_pTaskbarList->Release();
    m_pTaskbarList = nullptr;
}
