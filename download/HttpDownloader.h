#pragma once
// The HTTP transfer of the installer, run on the progress dialog's worker
// thread.
#include "download/DownloadConstants.h"
#include "framework/CStringW.h"

// Fetches one object over HTTP into a local file, recording the percentages
// it passes for another thread to show and honouring a cancel request made
// from another thread. One transfer per object.
class CHttpDownloader {
public:
    CHttpDownloader() = default;
    CHttpDownloader(const CHttpDownloader&) = delete;
    CHttpDownloader& operator=(const CHttpDownloader&) = delete;

    // Seen by Download before its first read and after every full read.
    void Cancel() { ::InterlockedExchange(&m_bCancel, 1); }

    // Blocks until the transfer ends. A file already at `localPath` is
    // replaced only once the whole body has arrived; otherwise it stays as
    // it was and nothing of this transfer is left behind. A `localPath` of
    // MAX_PATH bytes or more is the file error: it is never cut.
    DownloadResult Download(LPCSTR host, LPCSTR objectName, LPCSTR localPath);

    // The whole percentages received so far, in order, each differing from
    // the one before (the first from 0): one above 100 when more bytes
    // arrive than announced, and 100 last once the local file was opened.
    // Recorded by Download without waiting for anyone, and read from any
    // thread: an entry below ProgressCount() does not change any more.
    LONG ProgressCount() { return ::InterlockedCompareExchange(&m_nProgressCount, 0, 0); }
    LONG ProgressAt(LONG index) const { return m_progress[index]; }

    // The window that PostToNotifyWindow posts to.
    void AttachNotifyWindow(HWND hWnd);
    // Nothing is posted to the window once this has returned, so the window
    // may be destroyed while the transfer goes on; a body that still arrives
    // whole is then not moved into place.
    void DetachNotifyWindow();

    // Posts `message` to the attached window, if there is one. Posted, never
    // sent: the transfer does not wait for the window's thread.
    void PostToNotifyWindow(UINT message, WPARAM wParam);

    volatile LONG m_bCancel = 0;  // 0 run, anything else cancel requested
    // Connect and receive time-out of the transfer. Fixed in the program;
    // tests shorten it so that a silent server is given up on quickly.
    DWORD m_dwTimeoutMs = NETWORK_TIMEOUT_MS;

private:
    bool IsCancelRequested() { return ::InterlockedCompareExchange(&m_bCancel, 0, 0) != 0; }
    bool IsWindowDetached();
    void RecordProgress(LONG percent);

    // 1 to 100, one value above 100 and the final 100.
    static constexpr LONG MAX_PROGRESS_VALUES = 102;
    LONG m_progress[MAX_PROGRESS_VALUES] = {};
    volatile LONG m_nProgressCount = 0;

    // Held while a message is posted and while the window is detached, so
    // that no post can slip in after DetachNotifyWindow has returned.
    SRWLOCK m_notifyLock = SRWLOCK_INIT;
    HWND m_hWndNotify = nullptr;
    bool m_bWindowDetached = false;
};

// What one download's worker thread uses, shared by the progress dialog and
// the thread and freed by whichever lets go last: after Cancel the dialog may
// close while the worker is still blocked in a read for up to its time-out.
class CDownloadJob {
public:
    CDownloadJob() = default;
    CDownloadJob(const CDownloadJob&) = delete;
    CDownloadJob& operator=(const CDownloadJob&) = delete;

    void AddRef() { ::InterlockedIncrement(&m_nRefs); }
    void Release()
    {
        if (::InterlockedDecrement(&m_nRefs) == 0) delete this;
    }

    CHttpDownloader m_downloader;
    // Written by the worker before it posts WM_DOWNLOAD_FINISHED; read by
    // others only after that message or once the thread has ended.
    DownloadResult m_nResult = DOWNLOAD_SUCCEEDED;
    // Set before the thread starts and not changed afterwards; the worker
    // reads the path from here for the whole transfer.
    CStringW m_strPath;

private:
    ~CDownloadJob() = default;

    volatile LONG m_nRefs = 1;
};

// Thread entry: `parameter` is a CDownloadJob whose reference the thread
// takes over and releases when the transfer has ended and
// WM_DOWNLOAD_FINISHED has been posted. Returns 0.
DWORD WINAPI DownloadThreadProc(LPVOID parameter);

// Download threads that have started and not yet ended.
LONG RunningDownloadThreads();
