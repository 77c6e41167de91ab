#include "download/ProgressDlg.h"

#include "framework/AfxMessageBox.h"
#include "res/resource.h"

namespace {

constexpr UINT POLL_PERIOD_MS = 100;
constexpr DWORD POLL_WAIT_MS = 10;
constexpr DWORD CANCEL_WAIT_MS = 100;

const char NETWORK_ERROR_TEXT[] = "[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。";
const char FILE_ERROR_TEXT[] =
    "[ファイルI/Oエラー]\n\nファイルを保存することができません。\nファイルへの書き込み権限などをご確認ください。";

}  // namespace

CProgressDlg::CProgressDlg(CWnd* parent)
    : CDialog(IDD_PROGRESS, parent),
      m_pJob(new CDownloadJob),
      m_strPath(m_pJob->m_strPath),
      m_downloader(m_pJob->m_downloader),
      m_nResult(m_pJob->m_nResult)
{
}

CProgressDlg::~CProgressDlg()
{
    m_downloader.DetachNotifyWindow();
    if (m_hThread) ::CloseHandle(m_hThread);
    m_pJob->Release();
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

    m_pJob->m_hWndNotify = m_hWnd;
    m_pJob->AddRef();
    m_hThread = ::CreateThread(nullptr, 0, DownloadThreadProc, m_pJob, 0, nullptr);
    if (!m_hThread) {
        // Nothing will be downloaded: the first tick reports it.
        m_pJob->Release();
        m_nResult = DOWNLOAD_NETWORK_ERROR;
    }

    SetTimer(PROGRESS_POLL_TIMER, POLL_PERIOD_MS);
    return TRUE;
}

INT_PTR CProgressDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DOWNLOAD_PROGRESS) m_progress.SetPos(static_cast<int>(wParam));
    return CDialog::WindowProc(message, wParam, lParam);
}

void CProgressDlg::OnTimer(UINT_PTR)
{
    if (m_hThread) {
        const DWORD wait = ::WaitForSingleObject(m_hThread, POLL_WAIT_MS);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
    }

    KillTimer(PROGRESS_POLL_TIMER);
    int result = IDOK;
    switch (m_nResult) {
        case DOWNLOAD_CANCELLED:
            result = IDCANCEL;
            break;
        case DOWNLOAD_NETWORK_ERROR:
            AfxMessageBox(NETWORK_ERROR_TEXT, MB_OK);
            result = IDCANCEL;
            break;
        case DOWNLOAD_FILE_ERROR:
            AfxMessageBox(FILE_ERROR_TEXT, MB_OK);
            result = IDCANCEL;
            break;
    }
    EndDialog(result);
}

// The template has no OK button, but Enter sends IDOK when no push button has
// the focus; it must not end a running download as a success.
void CProgressDlg::OnOK()
{
    OnCancel();
}

void CProgressDlg::OnCancel()
{
    KillTimer(PROGRESS_POLL_TIMER);
    m_downloader.Cancel();
    if (m_hThread && ::WaitForSingleObject(m_hThread, CANCEL_WAIT_MS) == WAIT_TIMEOUT) {
        // The worker may be blocked sending a progress message to this
        // thread; letting the queue run once lets that send complete.
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    // The worker may go on for up to its read time-out; it must not report
    // to this window once it is closed.
    m_downloader.DetachNotifyWindow();
    CDialog::OnCancel();
}
