#include "download/ProgressDlg.h"

#include <oleacc.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <cstring>
#include <cwchar>

#include "download/AttachmentServices.h"
#include "framework/AfxMessageBox.h"
#include "framework/CWideText.h"
#include "framework/WorkerThreads.h"
#include "res/resource.h"

namespace {

// The system's prompt for the proxy's user name and password; what it returned.
DWORD AskForProxyPassword(HWND hWnd, HINTERNET hRequest)
{
    return ::InternetErrorDlg(
        hWnd, hRequest, ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS,
        nullptr);
}

// The poll timer: its id is fixed by the program's design.
constexpr UINT_PTR PROGRESS_POLL_TIMER = 999;
constexpr UINT POLL_PERIOD_MS = 100;
constexpr DWORD POLL_WAIT_MS = 10;
// The bytes on the status line change at most four times a second, which
// the eye can still read; "resumed" stays a moment before them.
constexpr DWORD STATUS_PERIOD_MS = 250;
constexpr DWORD RESUMED_SHOWN_MS = 1500;
// The status line in the template's empty band above the bar, in dialog
// units: two lines, as the longer texts need at the template's width.
constexpr RECT STATUS_LINE_RECT = {7, 7, 180, 30};

// Active Accessibility's annotation service and its name property
// (oleacc.h declares them; the program links no import library for them).
const CLSID ACC_PROP_SERVICES_CLASS = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const IID ACC_PROP_SERVICES_INTERFACE = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
const GUID ACC_NAME_PROPERTY = {0x608d3df8, 0x8128, 0x4aa7, {0xa4, 0x28, 0xf5, 0x5e, 0x49, 0x26, 0x72, 0x91}};

// UI Automation's LiveSetting property and its value Polite
// (UIAutomationCoreApi.h, which MinGW lacks): a screen reader speaks the
// line when told it changed, once it is done speaking.
const GUID LIVE_SETTING_PROPERTY = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG LIVE_SETTING_POLITE = 1;
// EVENT_OBJECT_LIVEREGIONCHANGED, which the headers offer only to programs
// for Windows 8 and later; earlier systems let it pass unheard.
constexpr DWORD LIVE_REGION_CHANGED_EVENT = 0x8019;

const char PROGRESS_BAR_NAME_SUFFIX[] = " のダウンロード";

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

CProgressDlg::CProgressDlg(CWnd* parent, const DownloadSettings& settings)
    : CDialog(IDD_PROGRESS, parent),
      m_pJob(std::make_shared<CDownloadJob>(settings)),
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
    CreateStatusLine();
    NameProgressBar();
    ShowStatus(true);

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
        if (m_pAccProps) {
            const MSAAPROPID name = ACC_NAME_PROPERTY;
            m_pAccProps->ClearHwndProps(m_progress.m_hWnd, OBJID_CLIENT, CHILDID_SELF, &name, 1);
            m_pAccProps->ClearHwndProps(m_hWndStatus, OBJID_CLIENT, CHILDID_SELF, &LIVE_SETTING_PROPERTY, 1);
            m_pAccProps.Reset();
        }
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

// The band above the bar is empty in the template. Laid out in dialog units
// with the dialog's font, the line scales with the font and the screen's DPI
// as the template does; a static control paints in the system's colours,
// high contrast included.
void CProgressDlg::CreateStatusLine()
{
    RECT line = STATUS_LINE_RECT;
    ::MapDialogRect(m_hWnd, &line);
    m_hWndStatus = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, line.left,
                                     line.top, line.right - line.left, line.bottom - line.top, m_hWnd,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DOWNLOAD_STATUS)),
                                     ::GetModuleHandleW(nullptr), nullptr);
    if (!m_hWndStatus) return;
    ::SendMessageW(m_hWndStatus, WM_SETFONT, ::SendMessageW(m_hWnd, WM_GETFONT, 0, 0), FALSE);
}

// Screen readers name the bar by what it brings in, not by the template's
// "Progress1". Active Accessibility takes a progress bar's name from its
// window text, and an annotated name before anything else; UI Automation
// (Narrator) takes the text of a static label just before a control in
// z-order, even a hidden one. The status line comes after the bar, so that
// its changing text never names it.
void CProgressDlg::NameProgressBar()
{
    wchar_t name[MAX_PATH + 32];
    lstrcpynW(name, ::PathFindFileNameW(m_strPath), MAX_PATH);
    std::wcsncat(name, CWideText(PROGRESS_BAR_NAME_SUFFIX, PROGRAM_TEXT_CODE_PAGE), 31);
    ::SetWindowTextW(m_progress.m_hWnd, name);
    HWND label = ::CreateWindowExW(0, L"STATIC", name, WS_CHILD | SS_NOPREFIX, 0, 0, 0, 0, m_hWnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_LABEL)),
                                   ::GetModuleHandleW(nullptr), nullptr);
    HWND beforeBar = ::GetWindow(m_progress.m_hWnd, GW_HWNDPREV);
    if (label)
        ::SetWindowPos(label, beforeBar ? beforeBar : HWND_TOP, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);

    // COM is set up on this thread by the program's start-up; without it
    // the window text and the label still name the bar, and the status line
    // is only read when a reader comes to it.
    if (FAILED(::CoCreateInstance(ACC_PROP_SERVICES_CLASS, nullptr, CLSCTX_INPROC_SERVER, ACC_PROP_SERVICES_INTERFACE,
                                  m_pAccProps.ReceiveVoid()))) {
        m_pAccProps.Abandon();
        return;
    }
    m_pAccProps->SetHwndPropStr(m_progress.m_hWnd, OBJID_CLIENT, CHILDID_SELF, ACC_NAME_PROPERTY, name);
    if (m_hWndStatus) {
        VARIANT polite{};
        polite.vt = VT_I4;
        polite.lVal = LIVE_SETTING_POLITE;
        m_pAccProps->SetHwndProp(m_hWndStatus, OBJID_CLIENT, CHILDID_SELF, LIVE_SETTING_PROPERTY, polite);
    }
}

// Bytes at most four times a second; a change of state at once, and a
// screen reader is told of it (of the bytes it is not).
void CProgressDlg::ShowStatus(bool bNow)
{
    if (m_bStatusFinal || !m_hWndStatus) return;
    const DWORD tick = ::GetTickCount();
    const LONG received = m_downloader.BytesReceived();
    m_rate.Add(tick, received);
    if (m_bProxyPromptShown) {
        SetStatus(STATUS_PROXY_PROMPT_TEXT, false);
        return;
    }
    const LONG retry = m_downloader.RetryAwaited();
    if (retry) {
        if (retry == m_nRetryShown) return;
        m_nRetryShown = retry;
        SetTaskbarState(TBPF_PAUSED);
        SetStatus(RetryText(retry), true);
        return;
    }
    if (m_nRetryShown) {
        m_nRetryShown = 0;
        m_bResumedShown = true;
        m_dwResumedTick = tick;
        SetTaskbarState(TBPF_NORMAL);
        SetStatus(STATUS_RESUMED_TEXT, true);
        return;
    }
    if (m_bResumedShown && tick - m_dwResumedTick < RESUMED_SHOWN_MS) return;
    m_bResumedShown = false;
    // The first bytes show with the bar that moves for them.
    const bool bFirstBytes = received > 0 && std::strcmp(m_strStatus, STATUS_CONNECTING_TEXT) == 0;
    if (!bNow && !bFirstBytes && tick - m_dwStatusTick < STATUS_PERIOD_MS) return;
    m_dwStatusTick = tick;
    ShowPercentInTitle();
    const LONG announced = m_downloader.BytesAnnounced();
    if (announced < 0 && received == 0)
        SetStatus(STATUS_CONNECTING_TEXT, false);
    else
        SetStatus(ReceivingText(received, announced, m_rate.BytesPerSecond()), false);
}

// Only a text that differs is set: setting it repaints the line.
void CProgressDlg::SetStatus(const char* text, bool bAnnounce)
{
    if (std::strcmp(m_strStatus, text) != 0) {
        m_strStatus = text;
        ::SetWindowTextW(m_hWndStatus, CWideText(text, PROGRAM_TEXT_CODE_PAGE));
    }
    if (bAnnounce) ::NotifyWinEvent(LIVE_REGION_CHANGED_EVENT, m_hWndStatus, OBJID_CLIENT, CHILDID_SELF);
}

// "45% - " before the template's caption, for the task-bar button, Alt+Tab
// and a screen reader's list of windows.
void CProgressDlg::ShowPercentInTitle()
{
    if (m_strCaption.IsEmpty()) {
        wchar_t caption[128] = L"";
        ::GetWindowTextW(m_hWnd, caption, 128);
        m_strCaption = caption;
    }
    const LONG percent = m_nPercentShown < 100 ? m_nPercentShown : 100;
    if (percent == m_nTitlePercent) return;
    m_nTitlePercent = percent;
    wchar_t title[160];
    _ltow(percent, title, 10);
    std::wcscat(title, L"% - ");
    std::wcsncat(title, m_strCaption, 128);
    ::SetWindowTextW(m_hWnd, title);
}

void CProgressDlg::SetTaskbarState(int state)
{
    if (m_pTaskbarList) m_pTaskbarList->SetProgressState(m_hWnd, static_cast<TBPFLAG>(state));
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
    if (m_bEnded || !IsWindowVisible()) return;
    const HINTERNET hRequest = m_downloader.BeginProxyPrompt();
    if (!hRequest) return;
    m_bProxyPromptShown = true;
    ShowStatus(true);
    m_downloader.EndProxyPrompt(AskForProxyPassword(m_hWnd, hRequest));
    m_bProxyPromptShown = false;
}

void ShowProxyPrompt(HWND hWnd, CHttpDownloader& downloader)
{
    const HINTERNET hRequest = downloader.BeginProxyPrompt();
    if (hRequest) downloader.EndProxyPrompt(AskForProxyPassword(hWnd, hRequest));
}

void CProgressDlg::OnTimer(UINT_PTR)
{
    // A tick already due when the timer was killed may still arrive.
    if (m_bEnded) return;
    ShowNewProgress();
    ShowStatus(false);
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
    // A resume the poll has not seen yet is told first; from here on the
    // line says what is told below, and stays.
    ShowStatus(true);
    m_bStatusFinal = true;
    // The bar shows the last percentage before the dialog closes or behind a
    // message box: 100 only after a success, and after a failure the share
    // that had arrived.
    ShowNewProgress();
    ShowPercentInTitle();

    if (result == DOWNLOAD_SUCCEEDED) {
        // Complete only once Windows has marked and scanned the file; the
        // window stays, and a Cancel now would leave the file unchecked.
        ::EnableWindow(::GetDlgItem(m_hWnd, IDCANCEL), FALSE);
        SetStatus(STATUS_SCANNING_TEXT, true);
        StartAttachmentCheck(m_strPath, m_downloader.SourceUrl(), m_hWnd);
        return;
    }
    const char* errorText = FailureText(result);
    if (errorText) {
        SetTaskbarState(TBPF_ERROR);
        SetStatus(STATUS_FAILED_TEXT, true);
        AfxMessageBox(errorText, MB_OK);
    }
    EndDialog(IDCANCEL);
}

void CProgressDlg::OnAttachmentChecked(AttachmentVerdict verdict)
{
    if (verdict == AttachmentVerdict::Blocked) {
        SetTaskbarState(TBPF_ERROR);
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
    while (::PeekMessageW(&msg, m_hWnd, WM_DOWNLOAD_FINISHED, WM_DOWNLOAD_PROXY_PROMPT, PM_REMOVE)) {
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
    ComRef<ITaskbarList3> pTaskbarList;
    if (FAILED(::CoCreateInstance(__uuidof(TaskbarList), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskbarList3),
                                  pTaskbarList.ReceiveVoid()))) {
        pTaskbarList.Abandon();
        return;
    }
    if (FAILED(pTaskbarList->HrInit())) return;
    m_pTaskbarList.Attach(pTaskbarList.Detach());
    m_pTaskbarList->SetProgressState(m_hWnd, TBPF_NORMAL);
    ShowProgressOnTaskbarButton();
}

void CProgressDlg::ReleaseTaskbarButton()
{
    if (!m_pTaskbarList) return;
    m_pTaskbarList->SetProgressState(m_hWnd, TBPF_NOPROGRESS);
    m_pTaskbarList.Reset();
}
