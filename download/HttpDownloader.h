#pragma once
// The HTTP transfer of the installer, run on the progress dialog's worker
// thread.
#include "download/DownloadConstants.h"
#include "framework/CString.h"

// Fetches one object over HTTP into a local file, reporting percentages to a
// window and honouring a cancel request made from another thread.
class CHttpDownloader {
public:
    CHttpDownloader() = default;
    CHttpDownloader(const CHttpDownloader&) = delete;
    CHttpDownloader& operator=(const CHttpDownloader&) = delete;

    // Seen by Download before its first read and after every full read.
    void Cancel() { ::InterlockedExchange(&m_bCancel, 1); }

    // No progress message is sent after this returns, so the window may be
    // destroyed while the transfer goes on; a body that still arrives whole
    // is then not moved into place.
    void DetachNotifyWindow() { ::InterlockedExchange(&m_bWindowDetached, 1); }

    // Blocks until the transfer ends. A file already at `localPath` is
    // replaced only once the whole body has arrived; otherwise it stays as
    // it was and nothing of this transfer is left behind. A `localPath` of
    // MAX_PATH bytes or more is the file error: it is never cut.
    DownloadResult Download(LPCSTR host, LPCSTR objectName, LPCSTR localPath, HWND hWndNotify);

    volatile LONG m_bCancel = 0;  // 0 run, anything else cancel requested
    // Connect and receive time-out of the transfer. Fixed in the program;
    // tests shorten it so that a silent server is given up on quickly.
    DWORD m_dwTimeoutMs = NETWORK_TIMEOUT_MS;

private:
    bool IsCancelRequested() { return ::InterlockedCompareExchange(&m_bCancel, 0, 0) != 0; }
    void NotifyProgress(HWND hWndNotify, unsigned long long percent);

    volatile LONG m_bWindowDetached = 0;
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
    // Written by the worker; read by others only after the thread has ended.
    DownloadResult m_nResult = DOWNLOAD_SUCCEEDED;
    // Both set before the thread starts and not changed afterwards; the
    // worker reads the path from here for the whole transfer.
    CString m_strPath;
    HWND m_hWndNotify = nullptr;

private:
    ~CDownloadJob() = default;

    volatile LONG m_nRefs = 1;
};

// Thread entry: `parameter` is a CDownloadJob whose reference the thread
// takes over and releases when the transfer has ended. Returns 0.
DWORD WINAPI DownloadThreadProc(LPVOID parameter);

// Download threads that have started and not yet ended.
LONG RunningDownloadThreads();
