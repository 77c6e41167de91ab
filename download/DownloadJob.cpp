// The worker thread's entry, and the count of those running.
#include "download/HttpDownloader.h"

#include "download/HttpRequest.h"

namespace {
volatile LONG s_nRunningThreads = 0;
}

LONG RunningDownloadThreads()
{
    return ::InterlockedCompareExchange(&s_nRunningThreads, 0, 0);
}

// Counted before the thread exists: a quit that comes before it first runs
// must still find it and end the process the way that does not wait for it.
HANDLE StartDownloadThread(CDownloadJob* job)
{
    ::InterlockedIncrement(&s_nRunningThreads);
    job->AddRef();
    const HANDLE thread = ::CreateThread(nullptr, 0, DownloadThreadProc, job, 0, nullptr);
    if (!thread) {
        job->Release();
        ::InterlockedDecrement(&s_nRunningThreads);
    }
    return thread;
}

DWORD WINAPI DownloadThreadProc(LPVOID parameter)
{
    CDownloadJob* job = static_cast<CDownloadJob*>(parameter);
    char szObjectName[256];
    JoinText(szObjectName, sizeof szObjectName, {INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME});

    // Download posts WM_DOWNLOAD_FINISHED itself, as soon as the result is
    // known; the poll of the dialog reads it from the job once this thread
    // has ended.
    job->m_nResult = job->m_downloader.Download(DOWNLOAD_SERVER_HOST, szObjectName, job->m_strPath);
    job->Release();
    ::InterlockedDecrement(&s_nRunningThreads);
    return 0;
}
