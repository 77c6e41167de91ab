#pragma once
// The HTTP transfer of the installer, run on the progress dialog's worker
// thread.
#include "download/DownloadConstants.h"

#include <wininet.h>

#include "framework/CHandle.h"
#include "framework/CStringW.h"

class CHttpSession;
class CTemporaryFile;

// How long a transfer waits for the network: the program's fixed values
// unless its maker gives others.
struct DownloadSettings {
    DWORD dwTimeoutMs = NETWORK_TIMEOUT_MS;
    DWORD dwRetryWaitMs = RETRY_FIRST_WAIT_MS;
    DWORD dwStallLimitMs = STALL_LIMIT_MS;
};

// Fetches one object over HTTP into a local file, recording the percentages
// it passes for another thread to show and honouring a cancel request made
// from another thread. A connection that drops mid-body is taken up again
// where it stopped. One transfer per object.
class CHttpDownloader {
public:
    explicit CHttpDownloader(const DownloadSettings& settings = DownloadSettings());
    CHttpDownloader(const CHttpDownloader&) = delete;
    CHttpDownloader& operator=(const CHttpDownloader&) = delete;

    // Seen by Download after every read and during every wait.
    void Cancel();

    // Blocks until the transfer ends. A file already at `localPath` is
    // replaced only once the whole body has arrived; otherwise it stays as
    // it was and nothing of this transfer is left behind. A `localPath` of
    // MAX_PATH UTF-16 units or more is the file error: it is never cut.
    // WM_DOWNLOAD_FINISHED is posted as soon as the outcome is known, before
    // the connection is closed.
    DownloadResult Download(LPCSTR host, LPCSTR objectName, LPCWSTR localPath);
    // After a successful Download, the address the body came from, redirects
    // followed: Windows' zone of the file is that of this address.
    LPCSTR SourceUrl() const { return m_szSourceUrl; }

    // The whole percentages received so far, in order, each differing from
    // the one before (the first from 0): one above 100 when more bytes
    // arrive than announced, 100 only when the whole body has arrived, and
    // 0 again when the body starts over from its first byte. Recorded by
    // Download without waiting for anyone, and read from any thread: an
    // entry below ProgressCount() does not change any more.
    LONG ProgressCount() { return ::InterlockedCompareExchange(&m_nProgressCount, 0, 0); }
    LONG ProgressAt(LONG index) const { return m_progress[index]; }

    // For the status line, beside the percentages: the body's bytes
    // received and announced (-1 until an answer has announced a length),
    // and the try the transfer waits to make after a dropped connection (0
    // when it does not wait; bytes that arrive end the wait). Recorded by
    // Download without waiting for anyone, and read from any thread.
    LONG BytesReceived() { return ::InterlockedCompareExchange(&m_nBytesReceived, 0, 0); }
    LONG BytesAnnounced() { return ::InterlockedCompareExchange(&m_nBytesAnnounced, 0, 0); }
    LONG RetryAwaited() { return ::InterlockedCompareExchange(&m_nRetryAwaited, 0, 0); }

    // The window that PostToNotifyWindow posts to.
    void AttachNotifyWindow(HWND hWnd);
    // Nothing is posted to the window once this has returned, so the window
    // may be destroyed while the transfer goes on; a body that still arrives
    // whole is then not moved into place.
    void DetachNotifyWindow();

    // Posts `message` to the attached window, if there is one. Posted, never
    // sent: the transfer does not wait for the window's thread.
    void PostToNotifyWindow(UINT message, WPARAM wParam);

    // The proxy prompt, on the attached window's thread once
    // WM_DOWNLOAD_PROXY_PROMPT arrives: Begin gives the request the worker
    // waits with (null when none waits or a prompt already shows), End hands
    // the prompt's answer back to it.
    HINTERNET BeginProxyPrompt();
    void EndProxyPrompt(DWORD answer);

    volatile LONG m_bCancel = 0;  // 0 run, anything else cancel requested

private:
    const DownloadSettings m_settings;
    struct Body;
    // How a step of the transfer ended. Dropped, a connection that a new try
    // may mend, is a type apart from DownloadResult so that it can never be
    // posted or stored as a result no reader handles: outside it is a
    // network error.
    enum class Outcome { Succeeded, Dropped, NetworkError, FileError, Cancelled };

    static DownloadResult ToDownloadResult(Outcome outcome);
    Outcome Transfer(CHttpSession& session, LPCSTR url, LPCWSTR localPath);
    Outcome SendFollowingRedirects(CHttpSession& session, LPCSTR url);
    // Time spent at the proxy's prompt is taken off the stall of `body`.
    Outcome SendWithCredentials(CHttpSession& session, LPCSTR headers, Body* body = nullptr);
    Outcome ReceiveBody(CHttpSession& session, CTemporaryFile& file, Body& body);
    Outcome ReadBody(CHttpSession& session, CTemporaryFile& file, Body& body);
    Outcome Resume(CHttpSession& session, CTemporaryFile& file, Body& body);
    Outcome StartOver(CHttpSession& session, CTemporaryFile& file, Body& body);
    Outcome TakeWholeBody(CHttpSession& session, CTemporaryFile& file, Body& body);
    Outcome MoveOverTargetUnlessDetached(CTemporaryFile& file, LPCWSTR localPath);
    DWORD WaitForProxyPrompt(HINTERNET hRequest);

    bool IsCancelRequested() { return ::InterlockedCompareExchange(&m_bCancel, 0, 0) != 0; }
    bool IsWindowDetached();
    void RecordProgress(LONG percent);
    void RecordBytes(LONG received, LONG announced);
    void RecordRetryAwaited(LONG tryNumber) { ::InterlockedExchange(&m_nRetryAwaited, tryNumber); }

    // Room for a few starts from the first byte; once it is full the bar
    // stays where it is.
    static constexpr LONG MAX_PROGRESS_VALUES = 1024;
    LONG m_progress[MAX_PROGRESS_VALUES] = {};
    volatile LONG m_nProgressCount = 0;
    volatile LONG m_nBytesReceived = 0;
    volatile LONG m_nBytesAnnounced = -1;
    volatile LONG m_nRetryAwaited = 0;
    // Set by Cancel, so that a wait ends at once.
    CHandle m_hCancelEvent;
    char m_szSourceUrl[INTERNET_MAX_URL_LENGTH] = {};

    // Held while a message is posted, while the window is detached and while
    // the proxy prompt changes hands, so that no post can slip in after
    // DetachNotifyWindow has returned.
    SRWLOCK m_notifyLock = SRWLOCK_INIT;
    HWND m_hWndNotify = nullptr;
    bool m_bWindowDetached = false;

    // The request whose proxy asks for a password, while the worker waits
    // for the window's thread to prompt the user; null otherwise, and once
    // the worker has stopped waiting for an answer nobody has taken up.
    HINTERNET m_hPromptRequest = nullptr;
    bool m_bPromptShowing = false;
    DWORD m_dwPromptAnswer = ERROR_CANCELLED;
    CHandle m_hPromptAnswered;
};

// What one download's worker thread uses, shared by the progress dialog and
// the thread: after Cancel the dialog may close while the worker is still
// blocked in a read for up to its time-out.
struct CDownloadJob {
    explicit CDownloadJob(const DownloadSettings& settings = DownloadSettings()) : m_downloader(settings) {}

    CHttpDownloader m_downloader;
    // Written by the worker once the transfer has ended; read by others only
    // once the thread has ended (WM_DOWNLOAD_FINISHED carries it as well).
    DownloadResult m_nResult = DOWNLOAD_SUCCEEDED;
    // Set before the thread starts and not changed afterwards.
    CStringW m_strPath;
};

// Thread entry for StartWorkerThread: `parameter` is a heap-allocated
// std::shared_ptr<CDownloadJob> that the thread deletes once the transfer
// has ended. Returns 0.
DWORD WINAPI DownloadThreadProc(LPVOID parameter);
