// The worker thread's entry.
#include <memory>

#include "download/HttpDownloader.h"
#include "download/HttpSession.h"

DWORD WINAPI DownloadThreadProc(LPVOID parameter)
{
    const std::unique_ptr<std::shared_ptr<CDownloadJob>> owner(static_cast<std::shared_ptr<CDownloadJob>*>(parameter));
    CDownloadJob& job = **owner;
    char szObjectName[256];
    JoinText(szObjectName, sizeof szObjectName, {INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME});

    // Download posts WM_DOWNLOAD_FINISHED itself, as soon as the result is
    // known; the poll of the dialog reads it from the job once this thread
    // has ended.
    job.m_nResult = job.m_downloader.Download(DOWNLOAD_SERVER_HOST, szObjectName, job.m_strPath);
    return 0;
}
