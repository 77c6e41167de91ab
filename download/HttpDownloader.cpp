// The transfer itself: the request, its answer, the body and taking a
// dropped body up again.
#include "download/HttpDownloader.h"

#include <memory>

#include "download/HttpRequest.h"
#include "download/TemporaryFile.h"

namespace {

constexpr DWORD READ_BUFFER_SIZE = 0x10000;
// As many redirects as a browser follows before it gives up.
constexpr int MAX_REDIRECTS = 10;
// Tries in a row that bring no new byte before a dropped transfer is given
// up; the waits before them are 1, 2 and 4 times the first.
constexpr int MAX_FRUITLESS_TRIES = 3;
// A drop that a new try may mend: the connection failed, not the answer.
constexpr DownloadResult DOWNLOAD_DROPPED = 3;

bool IsRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

struct CHttpDownloader::Body {
    LONG announced = 0;
    LONG received = 0;
    // The most that has been received at any time: a try that does not pass
    // it, even after starting over, has brought nothing new.
    LONG furthest = 0;
    // When the last byte arrived, or the body began; moved on by the time
    // the user spends at the proxy's prompt, which is no stall.
    DWORD lastByteTick = ::GetTickCount();
    RangeValidator validator;
    std::unique_ptr<BYTE[]> buffer{new BYTE[READ_BUFFER_SIZE]};
};

DownloadResult CHttpDownloader::Download(LPCSTR host, LPCSTR objectName, LPCWSTR localPath)
{
    char url[INTERNET_MAX_URL_LENGTH];
    CHttpRequest request(m_dwTimeoutMs);
    DownloadResult result = DOWNLOAD_NETWORK_ERROR;
    if (JoinText(url, sizeof url, {"http://", host, "/", objectName})) result = Transfer(request, url, localPath);
    // Reported before the connection is closed: closing is WinInet's own
    // business, and the user is not kept waiting for it.
    PostToNotifyWindow(WM_DOWNLOAD_FINISHED, static_cast<WPARAM>(result));
    request.Close();
    return result;
}

DownloadResult CHttpDownloader::Transfer(CHttpRequest& request, LPCSTR url, LPCWSTR localPath)
{
    if (!request.OpenSession()) return DOWNLOAD_NETWORK_ERROR;
    DownloadResult result = SendFollowingRedirects(request, url);
    if (result != DOWNLOAD_SUCCEEDED) return result == DOWNLOAD_DROPPED ? DOWNLOAD_NETWORK_ERROR : result;
    // Only a 200 response is the installer; an error page is not.
    Body body;
    if (request.Status() != 200 || !request.ContentLength(&body.announced) || !request.IsUnencoded())
        return DOWNLOAD_NETWORK_ERROR;
    body.validator = request.Validator();

    CTemporaryFile file;
    if (!CanWriteTarget(localPath) || !file.Create(localPath)) return DOWNLOAD_FILE_ERROR;
    if (IsCancelRequested()) return DOWNLOAD_CANCELLED;
    result = ReceiveBody(request, file, body);
    return KeepWholeBody(result, file, body, localPath);
}

// A moved installer is followed a few times, and Cancel is seen between the
// requests.
DownloadResult CHttpDownloader::SendFollowingRedirects(CHttpRequest& request, LPCSTR url)
{
    if (!request.Open(url)) return DOWNLOAD_NETWORK_ERROR;
    for (int redirects = 0;; ++redirects) {
        const DownloadResult result = SendWithCredentials(request, nullptr);
        if (result != DOWNLOAD_SUCCEEDED || !IsRedirectStatus(request.Status())) return result;
        if (IsCancelRequested()) return DOWNLOAD_CANCELLED;
        char target[INTERNET_MAX_URL_LENGTH];
        if (redirects == MAX_REDIRECTS || !request.RedirectTarget(target) || !request.Open(target))
            return DOWNLOAD_NETWORK_ERROR;
    }
}

// A proxy that asks for a password gets the one the user types into the
// system's prompt, as often as the user answers it. Proxies that take the
// user's logon (NTLM, Negotiate) are answered by WinInet itself and never
// get here unless that failed.
DownloadResult CHttpDownloader::SendWithCredentials(CHttpRequest& request, LPCSTR headers, Body* body)
{
    for (;;) {
        if (!request.Send(headers)) return DOWNLOAD_DROPPED;
        if (request.Status() != HTTP_STATUS_PROXY_AUTH_REQ) return DOWNLOAD_SUCCEEDED;
        const DWORD asked = ::GetTickCount();
        const DWORD answer = AskForProxyCredentials(request.Handle());
        if (body) body->lastByteTick += ::GetTickCount() - asked;
        if (IsCancelRequested()) return DOWNLOAD_CANCELLED;
        if (answer != ERROR_INTERNET_FORCE_RETRY) return DOWNLOAD_NETWORK_ERROR;
    }
}

// After a drop the rest is asked for again, up to a few tries in a row that
// bring nothing new, with growing waits between them that Cancel cuts short.
// A server that has sent no byte for the stall limit is given up, however
// the time went: a try that timed out does not buy a whole new time-out.
DownloadResult CHttpDownloader::ReceiveBody(CHttpRequest& request, CTemporaryFile& file, Body& body)
{
    DownloadResult result = ReadBody(request, file, body);
    for (int fruitless = 0; result == DOWNLOAD_DROPPED;) {
        const DWORD wait = m_dwRetryWaitMs << fruitless;
        const DWORD stalled = ::GetTickCount() - body.lastByteTick;
        if (fruitless == MAX_FRUITLESS_TRIES || stalled + wait >= m_dwStallLimitMs) return DOWNLOAD_NETWORK_ERROR;
        if (::WaitForSingleObject(m_hCancelEvent, wait) != WAIT_TIMEOUT) return DOWNLOAD_CANCELLED;
        const DWORD left = m_dwStallLimitMs - stalled - wait;
        if (!request.SetTimeout(left < m_dwTimeoutMs ? left : m_dwTimeoutMs)) return DOWNLOAD_NETWORK_ERROR;
        const LONG furthest = body.furthest;
        result =
            body.validator.kind != RangeValidator::NONE ? Resume(request, file, body) : StartOver(request, file, body);
        if (result == DOWNLOAD_SUCCEEDED) result = ReadBody(request, file, body);
        fruitless = body.furthest > furthest ? 0 : fruitless + 1;
    }
    return result;
}

// Reads what arrives until the body ends, the connection drops, or there is
// more than announced (a broken or hostile server could go on until the disk
// is full).
DownloadResult CHttpDownloader::ReadBody(CHttpRequest& request, CTemporaryFile& file, Body& body)
{
    for (;;) {
        DWORD got = 0;
        if (!request.Read(body.buffer.get(), READ_BUFFER_SIZE, &got)) return DOWNLOAD_DROPPED;
        if (got == 0) return body.received == body.announced ? DOWNLOAD_SUCCEEDED : DOWNLOAD_DROPPED;
        if (!file.Write(body.buffer.get(), got)) return DOWNLOAD_FILE_ERROR;
        const unsigned long long received = static_cast<unsigned long long>(body.received) + got;
        // A read past the announced length ends the loop, so the percentage
        // stays far inside a LONG.
        RecordProgress(static_cast<LONG>(received * 100 / static_cast<unsigned long long>(body.announced)));
        if (received > static_cast<unsigned long long>(body.announced)) return DOWNLOAD_NETWORK_ERROR;
        body.received = static_cast<LONG>(received);
        if (body.received > body.furthest) body.furthest = body.received;
        body.lastByteTick = ::GetTickCount();
        // The stall ends with these bytes, and with it the cut of a try's
        // time-out to what was left of the limit.
        if (request.Timeout() != m_dwTimeoutMs && !request.SetTimeout(m_dwTimeoutMs)) return DOWNLOAD_NETWORK_ERROR;
        // The read that completes the body is not undone by a late Cancel.
        if (body.received < body.announced && IsCancelRequested()) return DOWNLOAD_CANCELLED;
    }
}

// Asks for the bytes after those received, on condition that the body is
// still the one they came from. A 206 of exactly that rest is appended; a
// 200 is the whole body again (it changed, or the server sends no ranges).
DownloadResult CHttpDownloader::Resume(CHttpRequest& request, CTemporaryFile& file, Body& body)
{
    char first[16];
    char headers[RangeValidator::MAX_LENGTH + 64];
    _ltoa(body.received, first, 10);
    if (!JoinText(headers, sizeof headers, {"Range: bytes=", first, "-\r\nIf-Range: ", body.validator.text, "\r\n"}) ||
        !request.Open(request.Url()))
        return DOWNLOAD_NETWORK_ERROR;
    const DownloadResult result = SendWithCredentials(request, headers, &body);
    if (result != DOWNLOAD_SUCCEEDED) return result;
    const int status = request.Status();
    if (status == 200) return TakeWholeBody(request, file, body);
    if (status != 206) return DOWNLOAD_NETWORK_ERROR;
    // A server that ignores If-Range may send the rest of another version:
    // appended, it would make one installer of two.
    if (!request.KeepsValidator(body.validator)) return StartOver(request, file, body);
    ContentRange range;
    LONG length = 0;
    if (!request.Range(&range) || !request.ContentLength(&length) ||
        !IsRestOfBody(range, length, body.received, body.announced) || !request.IsUnencoded())
        return DOWNLOAD_NETWORK_ERROR;
    return DOWNLOAD_SUCCEEDED;
}

// The body from its first byte, asked for again. The bar goes back to 0.
DownloadResult CHttpDownloader::StartOver(CHttpRequest& request, CTemporaryFile& file, Body& body)
{
    if (!request.Open(request.Url())) return DOWNLOAD_NETWORK_ERROR;
    const DownloadResult result = SendWithCredentials(request, nullptr, &body);
    if (result != DOWNLOAD_SUCCEEDED) return result;
    if (request.Status() != 200) return DOWNLOAD_NETWORK_ERROR;
    return TakeWholeBody(request, file, body);
}

// A 200 answer replaces what was received: its length and validator are
// those of the body from now on.
DownloadResult CHttpDownloader::TakeWholeBody(CHttpRequest& request, CTemporaryFile& file, Body& body)
{
    if (!request.ContentLength(&body.announced) || !request.IsUnencoded()) return DOWNLOAD_NETWORK_ERROR;
    body.validator = request.Validator();
    if (!file.Truncate()) return DOWNLOAD_FILE_ERROR;
    body.received = 0;
    RecordProgress(0);
    return DOWNLOAD_SUCCEEDED;
}

DownloadResult CHttpDownloader::KeepWholeBody(DownloadResult result, CTemporaryFile& file, const Body& body,
                                              LPCWSTR localPath)
{
    const bool bWhole = result == DOWNLOAD_SUCCEEDED && body.received == body.announced;
    // Once the window has gone after a cancel, the user has been told the
    // download was cancelled and may have started another to the same path:
    // the finished body is dropped rather than moved over it.
    const bool bDetached = IsWindowDetached();
    const bool bKept = bWhole && !bDetached && file.Keep();
    const bool bClosed = file.Close();
    if (!bWhole) return result;
    if (bDetached) return DOWNLOAD_CANCELLED;
    return bKept && bClosed && file.MoveOver(localPath) ? DOWNLOAD_SUCCEEDED : DOWNLOAD_FILE_ERROR;
}
