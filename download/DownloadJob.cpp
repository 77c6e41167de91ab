// The worker thread's entry, and the count of those running.
#include "download/HttpDownloader.h"

#include <string>

#include "download/HttpRequest.h"

namespace {
volatile LONG s_nRunningThreads = 0;
}

LONG RunningDownloadThreads()
{
    return ::InterlockedCompareExchange(&s_nRunningThreads, 0, 0);
}

DWORD WINAPI DownloadThreadProc(LPVOID parameter)
{
    ::InterlockedIncrement(&s_nRunningThreads);
    CDownloadJob* job = static_cast<CDownloadJob*>(parameter);
    char szObjectName[256];
    JoinText(szObjectName, sizeof szObjectName, {INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME});
    // Bridge to remove once the job holds its path as UTF-16: the 8-bit path
    // is in the ANSI code page.
    const int length = ::MultiByteToWideChar(CP_ACP, 0, job->m_strPath, -1, nullptr, 0);
    std::wstring path(length > 0 ? length : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, job->m_strPath, -1, &path[0], length);

    // Download posts WM_DOWNLOAD_FINISHED itself, as soon as the result is
    // known; the poll of the dialog reads it from the job once this thread
    // has ended.
    job->m_nResult = job->m_downloader.Download(DOWNLOAD_SERVER_HOST, szObjectName, path.c_str());
    job->Release();
    ::InterlockedDecrement(&s_nRunningThreads);
    return 0;
}
