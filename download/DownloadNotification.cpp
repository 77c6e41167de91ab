// What passes between the worker and the progress dialog's thread: the
// cancel request, the recorded percentages, the posted messages and the
// proxy's password prompt.
#include "download/HttpDownloader.h"

CHttpDownloader::CHttpDownloader(const DownloadSettings& settings)
    : m_settings(settings),
      m_hCancelEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_hPromptAnswered(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

void CHttpDownloader::Cancel()
{
    ::InterlockedExchange(&m_bCancel, 1);
    ::SetEvent(m_hCancelEvent);
}

void CHttpDownloader::AttachNotifyWindow(HWND hWnd)
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    if (!m_bWindowDetached) m_hWndNotify = hWnd;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
}

void CHttpDownloader::DetachNotifyWindow()
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    m_hWndNotify = nullptr;
    m_bWindowDetached = true;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
}

bool CHttpDownloader::IsWindowDetached()
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    const bool bDetached = m_bWindowDetached;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
    return bDetached;
}

void CHttpDownloader::RecordProgress(LONG percent)
{
    const LONG count = m_nProgressCount;
    if (percent == (count ? m_progress[count - 1] : 0) || count == MAX_PROGRESS_VALUES) return;
    m_progress[count] = percent;
    // Publishes the entry: a reader that sees the new count sees it whole.
    ::InterlockedExchange(&m_nProgressCount, count + 1);
}

void CHttpDownloader::RecordBytes(LONG received, LONG announced)
{
    ::InterlockedExchange(&m_nBytesAnnounced, announced);
    ::InterlockedExchange(&m_nBytesReceived, received);
    ::InterlockedExchange(&m_nRetryAwaited, 0);
}

void CHttpDownloader::PostToNotifyWindow(UINT message, WPARAM wParam)
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    // Without a window a post would go to this thread's own queue.
    if (m_hWndNotify) ::PostMessageW(m_hWndNotify, message, wParam, 0);
    ::ReleaseSRWLockExclusive(&m_notifyLock);
}

// The prompt must be owned by the dialog, so it runs on the dialog's thread;
// the worker waits for the answer or for Cancel. Returns what the prompt
// returned, or ERROR_CANCELLED when there was nobody to ask.
DWORD CHttpDownloader::WaitForProxyPrompt(HINTERNET hRequest)
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    const bool bAsked = m_hWndNotify && ::PostMessageW(m_hWndNotify, WM_DOWNLOAD_PROXY_PROMPT, 0, 0);
    if (bAsked) m_hPromptRequest = hRequest;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
    if (!bAsked) return ERROR_CANCELLED;

    const HANDLE events[] = {m_hPromptAnswered, m_hCancelEvent};
    ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    ::AcquireSRWLockExclusive(&m_notifyLock);
    // A prompt already on the screen uses the request: it is waited for,
    // and it ends when the user answers it.
    const bool bShowing = m_bPromptShowing;
    m_hPromptRequest = nullptr;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
    if (bShowing) ::WaitForSingleObject(m_hPromptAnswered, INFINITE);
    return m_dwPromptAnswer;
}

HINTERNET CHttpDownloader::BeginProxyPrompt()
{
    // The prompt's own modal loop may bring another request to show it.
    ::AcquireSRWLockExclusive(&m_notifyLock);
    const HINTERNET hRequest = m_bPromptShowing ? nullptr : m_hPromptRequest;
    if (hRequest) {
        m_bPromptShowing = true;
        m_dwPromptAnswer = ERROR_CANCELLED;
    }
    ::ReleaseSRWLockExclusive(&m_notifyLock);
    return hRequest;
}

void CHttpDownloader::EndProxyPrompt(DWORD answer)
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    m_dwPromptAnswer = answer;
    m_bPromptShowing = false;
    m_hPromptRequest = nullptr;
    ::ReleaseSRWLockExclusive(&m_notifyLock);
    ::SetEvent(m_hPromptAnswered);
}
