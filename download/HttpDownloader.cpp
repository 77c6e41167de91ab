#include "download/HttpDownloader.h"

#include <wininet.h>
#include <shlwapi.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD READ_BUFFER_SIZE = 0x10000;
constexpr DWORD CONNECT_RETRIES = 5;
// Redirects are followed here rather than by WinInet, which on some systems
// follows a redirect loop without end.
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// As many redirects as a browser follows before it gives up.
constexpr int MAX_REDIRECTS = 10;

// Closes a WinInet handle when the scope that opened it ends.
class CInternetHandle {
public:
    explicit CInternetHandle(HINTERNET hInternet) : m_hInternet(hInternet) {}
    ~CInternetHandle()
    {
        if (m_hInternet) ::InternetCloseHandle(m_hInternet);
    }
    CInternetHandle(const CInternetHandle&) = delete;
    CInternetHandle& operator=(const CInternetHandle&) = delete;

    operator HINTERNET() const { return m_hInternet; }
    void Reset(HINTERNET hInternet)
    {
        if (m_hInternet) ::InternetCloseHandle(m_hInternet);
        m_hInternet = hInternet;
    }

private:
    HINTERNET m_hInternet;
};

// The body is written to a file of its own in the target's folder, so that a
// failed or cancelled transfer never touches a file the user already had, and
// an earlier transfer still finishing never touches a later one's file. The
// file is moved over the target only by MoveOver; otherwise it is removed.
class CTemporaryFile {
public:
    CTemporaryFile() = default;
    ~CTemporaryFile()
    {
        Close();
        if (m_szPath[0]) ::DeleteFileA(m_szPath);
    }
    CTemporaryFile(const CTemporaryFile&) = delete;
    CTemporaryFile& operator=(const CTemporaryFile&) = delete;

    // `target` is shorter than MAX_PATH.
    bool Create(LPCSTR target)
    {
        char szFolder[MAX_PATH];
        ::lstrcpynA(szFolder, target, sizeof szFolder);
        // Shift-JIS trail bytes may equal '\\'; the path function steps by
        // characters.
        ::PathRemoveFileSpecA(szFolder);
        if (!szFolder[0]) ::lstrcpynA(szFolder, ".", sizeof szFolder);
        if (!::GetTempFileNameA(szFolder, "qdl", 0, m_szPath)) {
            m_szPath[0] = '\0';
            return false;
        }
        // Marked for deletion while it is open, so that the system removes it
        // even when the process ends in the middle of a transfer (the program
        // closed while a cancelled worker still waits in a read, or a crash).
        HANDLE hFile = ::CreateFileA(m_szPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return false;
        SetDeleteOnClose(hFile, TRUE);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_WRONLY | _O_BINARY);
        if (fd == -1) {
            ::CloseHandle(hFile);
            return false;
        }
        m_pFile = _fdopen(fd, "wb");
        if (!m_pFile) _close(fd);
        return m_pFile != nullptr;
    }

    // Keeps the file when it is closed; false when the buffered end of the
    // body could not be written or the system refused. The flush is checked
    // here: after a failed flush the C runtime may drop the buffer, and the
    // close then succeeds on a cut-short file.
    bool Keep()
    {
        if (!m_pFile) return false;
        if (std::fflush(m_pFile) != 0 || std::ferror(m_pFile)) return false;
        return SetDeleteOnClose(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_pFile))), FALSE);
    }

    bool Write(const void* data, size_t size) { return std::fwrite(data, size, 1, m_pFile) == 1; }

    // False when buffered data could not be written (a full disk).
    bool Close()
    {
        if (!m_pFile) return true;
        const bool failedBefore = std::ferror(m_pFile) != 0;
        const bool closed = std::fclose(m_pFile) == 0 && !failedBefore;
        m_pFile = nullptr;
        return closed;
    }

    bool MoveOver(LPCSTR target)
    {
        if (!::MoveFileExA(m_szPath, target, MOVEFILE_REPLACE_EXISTING)) return false;
        m_szPath[0] = '\0';
        return true;
    }

private:
    static bool SetDeleteOnClose(HANDLE hFile, BOOL bDelete)
    {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = static_cast<BOOLEAN>(bDelete);
        return ::SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    }

    char m_szPath[MAX_PATH] = {};
    FILE* m_pFile = nullptr;
};

// Whether the target can be written, found out without truncating an existing
// file; a file the check itself created is removed again.
bool CanWriteTarget(LPCSTR path)
{
    // Checked by attribute as well: a process with the rights to write any
    // file would otherwise replace a file the user marked read-only.
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    HANDLE hFile = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    const bool bCreated = ::GetLastError() != ERROR_ALREADY_EXISTS;
    ::CloseHandle(hFile);
    if (bCreated) ::DeleteFileA(path);
    return true;
}

// Content-Length as a positive signed 32-bit count: digits only, nothing
// before or after them.
bool ParseContentLength(const char* text, LONG* length)
{
    if (!*text) return false;
    long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > LONG_MAX) return false;
    }
    if (value == 0) return false;
    *length = static_cast<LONG>(value);
    return true;
}

// Query, then set with the length the query returned. An implementation that
// accepts an option but cannot report it (Wine's, for the connect retries:
// ERROR_INTERNET_INCORRECT_HANDLE_TYPE) still gets it set, with its natural
// length; any other failed query, and any failed set, is a failure.
bool SetDwordOption(HINTERNET hInternet, DWORD option, DWORD value)
{
    DWORD current = 0;
    DWORD length = sizeof current;
    if (!::InternetQueryOptionA(hInternet, option, &current, &length)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNET_INVALID_OPTION && error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) return false;
        length = sizeof value;
    }
    return ::InternetSetOptionA(hInternet, option, &value, length) != FALSE;
}

// The session's time-outs, set on a request as well: Windows hands them
// down from the session, but not every WinInet does, and a request without
// them waits for a silent server for ever. An option that a request handle
// does not take keeps the session's value.
bool SetRequestTimeouts(HINTERNET hRequest, DWORD timeoutMs)
{
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        if (::InternetSetOptionA(hRequest, option, &timeoutMs, sizeof timeoutMs)) continue;
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNET_INVALID_OPTION && error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) return false;
    }
    return true;
}

bool QueryHeaderText(HINTERNET hRequest, DWORD info, char* text, DWORD size)
{
    std::memset(text, 0, size);
    DWORD length = size;
    if (!::HttpQueryInfoA(hRequest, info, text, &length, nullptr)) return false;
    text[length < size ? length : size - 1] = '\0';
    return true;
}

// Joins `parts` into `buffer`; false, with the buffer empty, when they do
// not fit. (Plain joining keeps the C runtime's formatting, and its size,
// out of the program.)
bool JoinText(char* buffer, size_t size, std::initializer_list<const char*> parts)
{
    size_t used = 0;
    for (const char* part : parts) {
        const size_t length = std::strlen(part);
        if (length >= size - used) {
            buffer[0] = '\0';
            return false;
        }
        std::memcpy(buffer + used, part, length);
        used += length;
    }
    buffer[used] = '\0';
    return true;
}

bool IsRedirectStatus(const char* status)
{
    for (const char* redirect : {"301", "302", "303", "307", "308"})
        if (std::strcmp(status, redirect) == 0) return true;
    return false;
}

// One GET request with the transfer's flags and time-outs, on a connection of
// its own; both handles are replaced.
bool OpenRequest(HINTERNET hRoot, LPCSTR host, INTERNET_PORT port, LPCSTR objectName, bool secure, DWORD timeoutMs,
                 CInternetHandle& connection, CInternetHandle& request)
{
    request.Reset(nullptr);
    connection.Reset(::InternetConnectA(hRoot, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return false;
    const DWORD flags = REQUEST_FLAGS | (secure ? INTERNET_FLAG_SECURE : 0);
    request.Reset(::HttpOpenRequestA(connection, "GET", objectName, nullptr, nullptr, nullptr, flags, 0));
    return request && SetRequestTimeouts(request, timeoutMs);
}

// Resolves the Location of a redirect against the URL that answered with it
// and opens a request there; `url` becomes the new URL. Only HTTP and HTTPS
// are followed.
bool OpenRedirectedRequest(HINTERNET hRoot, char (&url)[INTERNET_MAX_URL_LENGTH], DWORD timeoutMs,
                           CInternetHandle& connection, CInternetHandle& request)
{
    char location[INTERNET_MAX_URL_LENGTH];
    if (!QueryHeaderText(request, HTTP_QUERY_LOCATION, location, sizeof location) || !location[0]) return false;
    char target[INTERNET_MAX_URL_LENGTH];
    DWORD length = sizeof target;
    if (!::InternetCombineUrlA(url, location, target, &length, ICU_NO_ENCODE)) return false;

    char host[INTERNET_MAX_HOST_NAME_LENGTH + 1];
    char path[INTERNET_MAX_URL_LENGTH];
    char extra[INTERNET_MAX_URL_LENGTH];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    if (!::InternetCrackUrlA(target, 0, 0, &parts) || !host[0]) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    char objectName[INTERNET_MAX_URL_LENGTH];
    if (!JoinText(objectName, sizeof objectName, {path, extra})) return false;

    ::lstrcpynA(url, target, sizeof url);
    return OpenRequest(hRoot, host, parts.nPort, objectName, parts.nScheme == INTERNET_SCHEME_HTTPS, timeoutMs,
                       connection, request);
}

}  // namespace

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

void CHttpDownloader::PostToNotifyWindow(UINT message, WPARAM wParam)
{
    ::AcquireSRWLockExclusive(&m_notifyLock);
    // Without a window a post would go to this thread's own queue.
    if (m_hWndNotify) ::PostMessageA(m_hWndNotify, message, wParam, 0);
    ::ReleaseSRWLockExclusive(&m_notifyLock);
}

DownloadResult CHttpDownloader::Download(LPCSTR host, LPCSTR objectName, LPCSTR localPath)
{
    CInternetHandle hRoot(::InternetOpenA(DOWNLOAD_USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!hRoot) return DOWNLOAD_NETWORK_ERROR;
    if (!SetDwordOption(hRoot, INTERNET_OPTION_CONNECT_TIMEOUT, m_dwTimeoutMs) ||
        !SetDwordOption(hRoot, INTERNET_OPTION_CONNECT_RETRIES, CONNECT_RETRIES) ||
        !SetDwordOption(hRoot, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, m_dwTimeoutMs) ||
        !SetDwordOption(hRoot, INTERNET_OPTION_RECEIVE_TIMEOUT, m_dwTimeoutMs))
        return DOWNLOAD_NETWORK_ERROR;

    CInternetHandle hConnection(nullptr);
    CInternetHandle hRequest(nullptr);
    if (!OpenRequest(hRoot, host, INTERNET_DEFAULT_HTTP_PORT, objectName, false, m_dwTimeoutMs, hConnection, hRequest))
        return DOWNLOAD_NETWORK_ERROR;
    char url[INTERNET_MAX_URL_LENGTH];
    if (!JoinText(url, sizeof url, {"http://", host, "/", objectName})) return DOWNLOAD_NETWORK_ERROR;

    // Only a 200 response is the installer; an error page is not. A moved
    // installer is followed a few times, and Cancel is seen between the
    // requests.
    char szHeader[256];
    for (int redirects = 0;; ++redirects) {
        if (!::HttpSendRequestA(hRequest, nullptr, 0, nullptr, 0)) return DOWNLOAD_NETWORK_ERROR;
        if (!QueryHeaderText(hRequest, HTTP_QUERY_STATUS_CODE, szHeader, sizeof szHeader))
            return DOWNLOAD_NETWORK_ERROR;
        if (!IsRedirectStatus(szHeader)) break;
        if (IsCancelRequested()) return DOWNLOAD_CANCELLED;
        if (redirects == MAX_REDIRECTS || !OpenRedirectedRequest(hRoot, url, m_dwTimeoutMs, hConnection, hRequest))
            return DOWNLOAD_NETWORK_ERROR;
    }
    if (std::strcmp(szHeader, "200") != 0) return DOWNLOAD_NETWORK_ERROR;
    LONG announced = 0;
    if (!QueryHeaderText(hRequest, HTTP_QUERY_CONTENT_LENGTH, szHeader, sizeof szHeader) ||
        !ParseContentLength(szHeader, &announced))
        return DOWNLOAD_NETWORK_ERROR;

    std::unique_ptr<BYTE[]> buffer(new BYTE[READ_BUFFER_SIZE]);
    // The one limit on the target path is that of the system's ANSI file
    // functions: shorter than MAX_PATH. A longer path is refused, not cut,
    // which would name another file.
    if (::lstrlenA(localPath) >= MAX_PATH) return DOWNLOAD_FILE_ERROR;
    CTemporaryFile file;
    if (!CanWriteTarget(localPath) || !file.Create(localPath)) return DOWNLOAD_FILE_ERROR;

    DownloadResult result = DOWNLOAD_CANCELLED;
    unsigned long long total = 0;
    if (!IsCancelRequested()) {
        for (;;) {
            DWORD got = 0;
            if (!::InternetReadFile(hRequest, buffer.get(), READ_BUFFER_SIZE, &got)) {
                result = DOWNLOAD_NETWORK_ERROR;
                break;
            }
            if (got && !file.Write(buffer.get(), got)) {
                result = DOWNLOAD_FILE_ERROR;
                break;
            }
            total += got;
            // A read past the announced length ends the loop below, so the
            // percentage stays far inside a LONG.
            RecordProgress(static_cast<LONG>(total * 100 / static_cast<unsigned long long>(announced)));
            // More than announced: a broken or hostile server could go on
            // until the disk is full.
            if (total > static_cast<unsigned long long>(announced)) {
                result = DOWNLOAD_NETWORK_ERROR;
                break;
            }
            if (got == READ_BUFFER_SIZE) {
                if (IsCancelRequested()) break;
                continue;
            }
            if (total != static_cast<unsigned long long>(announced)) result = DOWNLOAD_NETWORK_ERROR;
            break;
        }
    }
    RecordProgress(100);

    const bool bWhole = result != DOWNLOAD_FILE_ERROR && total == static_cast<unsigned long long>(announced);
    // Once the window has gone after a cancel, the user has been told the
    // download was cancelled and may have started another to the same path:
    // the finished body is dropped rather than moved over it.
    const bool bDetached = IsWindowDetached();
    const bool bKept = bWhole && !bDetached && file.Keep();
    const bool bClosed = file.Close();
    if (bWhole) {
        if (bDetached)
            result = DOWNLOAD_CANCELLED;
        else
            result = bKept && bClosed && file.MoveOver(localPath) ? DOWNLOAD_SUCCEEDED : DOWNLOAD_FILE_ERROR;
    }
    return result;
}

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

    // Bridge until the worker takes wide paths: the ANSI path it still expects.
    char szLocalPath[2 * MAX_PATH] = {};
    if (!::WideCharToMultiByte(CP_ACP, 0, job->m_strPath, -1, szLocalPath, sizeof szLocalPath, nullptr, nullptr))
        szLocalPath[0] = '\0';
    const DownloadResult result = job->m_downloader.Download(DOWNLOAD_SERVER_HOST, szObjectName, szLocalPath);
    job->m_nResult = result;
    // Lets the dialog end at once instead of at its next poll, which still
    // ends it when there is no window yet or the post is lost.
    job->m_downloader.PostToNotifyWindow(WM_DOWNLOAD_FINISHED, static_cast<WPARAM>(result));
    job->Release();
    ::InterlockedDecrement(&s_nRunningThreads);
    return 0;
}
