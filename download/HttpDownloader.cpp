// The transfer itself: the request, its answer, the body and taking a
// dropped body up again.
#include "download/HttpDownloader.h"

#include <memory>

#include "download/HttpSession.h"
#include "download/TemporaryFile.h"

namespace {

constexpr DWORD READ_BUFFER_SIZE = 0x10000;
// As many redirects as a browser follows before it gives up.
constexpr int MAX_REDIRECTS = 10;
// Tries in a row that bring no new byte before a dropped transfer is given
// up; the waits before them are 1, 2 and 4 times the first.
constexpr int MAX_FRUITLESS_TRIES = 3;

bool IsRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A 206 answer of exactly the bytes after the `received` first of a body of
// `announced` bytes, as they are stored.
bool HoldsRestOfBody(CHttpSession& session, LONG received, LONG announced)
{
    ContentRange range;
    LONG length = 0;
    return session.Range(&range) && session.ContentLength(&length) &&
           IsRestOfBody(range, length, received, announced) && session.IsUnencoded();
}

}  // namespace

struct CHttpDownloader::Body {
    LONG announced = 0;
    LONG received = 0;
    // The most that has been received at any time: a try that does not pass
    // it, even after starting over, has brought nothing new.
    LONG furthest = 0;
    // The silence since the body last passed `furthest`: from each try's
    // last byte to the next try's first, the waits included. Bytes that
    // flow below `furthest` end no such silence and add none.
    DWORD silentMs = 0;
    // When the last byte arrived, or the body began; moved on by the time
    // the user spends at the proxy's prompt, which is no silence.
    DWORD lastByteTick = ::GetTickCount();
    // A try has ended, and no byte of the next one has arrived yet.
    bool bBetweenTries = false;
    RangeValidator validator;
    std::unique_ptr<BYTE[]> buffer{new BYTE[READ_BUFFER_SIZE]};
};

DownloadResult CHttpDownloader::Download(LPCSTR host, LPCSTR objectName, LPCWSTR localPath)
{
    char url[INTERNET_MAX_URL_LENGTH];
    CHttpSession session(m_settings.dwTimeoutMs);
    const DownloadResult result = JoinText(url, sizeof url, {"http://", host, "/", objectName})
                                      ? ToDownloadResult(Transfer(session, url, localPath))
                                      : DOWNLOAD_NETWORK_ERROR;
    // Reported before the connection is closed: closing is WinInet's own
    // business, and the user is not kept waiting for it.
    PostToNotifyWindow(WM_DOWNLOAD_FINISHED, static_cast<WPARAM>(result));
    session.Close();
    return result;
}

DownloadResult CHttpDownloader::ToDownloadResult(Outcome outcome)
{
    switch (outcome) {
        case Outcome::Succeeded:
            return DOWNLOAD_SUCCEEDED;
        case Outcome::FileError:
            return DOWNLOAD_FILE_ERROR;
        case Outcome::Cancelled:
            return DOWNLOAD_CANCELLED;
        case Outcome::Dropped:
        case Outcome::NetworkError:
            break;
    }
    return DOWNLOAD_NETWORK_ERROR;
}

CHttpDownloader::Outcome CHttpDownloader::Transfer(CHttpSession& session, LPCSTR url, LPCWSTR localPath)
{
    if (!session.OpenSession()) return Outcome::NetworkError;
    const Outcome sent = SendFollowingRedirects(session, url);
    if (sent != Outcome::Succeeded) return sent;
    // Only a 200 response is the installer; an error page is not.
    Body body;
    if (session.Status() != 200 || !session.ContentLength(&body.announced) || !session.IsUnencoded())
        return Outcome::NetworkError;
    body.validator = session.Validator();
    RecordBytes(0, body.announced);

    CTemporaryFile file;
    if (!CanWriteTarget(localPath) || !file.Create(localPath)) return Outcome::FileError;
    if (IsCancelRequested()) return Outcome::Cancelled;
    const Outcome received = ReceiveBody(session, file, body);
    // Any other file is removed as it is closed.
    if (received != Outcome::Succeeded || body.received != body.announced) return received;
    ::lstrcpynA(m_szSourceUrl, session.Url(), sizeof m_szSourceUrl);
    return MoveOverTargetUnlessDetached(file, localPath);
}

// A moved installer is followed a few times, and Cancel is seen between the
// requests.
CHttpDownloader::Outcome CHttpDownloader::SendFollowingRedirects(CHttpSession& session, LPCSTR url)
{
    if (!session.Open(url)) return Outcome::NetworkError;
    for (int redirects = 0;; ++redirects) {
        const Outcome result = SendWithCredentials(session, nullptr);
        if (result != Outcome::Succeeded || !IsRedirectStatus(session.Status())) return result;
        if (IsCancelRequested()) return Outcome::Cancelled;
        char target[INTERNET_MAX_URL_LENGTH];
        if (redirects == MAX_REDIRECTS || !session.RedirectTarget(target) || !session.Open(target))
            return Outcome::NetworkError;
    }
}

// A proxy that asks for a password gets the one the user types into the
// system's prompt, as often as the user answers it. Proxies that take the
// user's logon (NTLM, Negotiate) are answered by WinInet itself and never
// get here unless that failed.
CHttpDownloader::Outcome CHttpDownloader::SendWithCredentials(CHttpSession& session, LPCSTR headers, Body* body)
{
    for (;;) {
        if (!session.Send(headers)) return Outcome::Dropped;
        if (session.Status() != HTTP_STATUS_PROXY_AUTH_REQ) return Outcome::Succeeded;
        const DWORD asked = ::GetTickCount();
        const DWORD answer = WaitForProxyPrompt(session.Handle());
        if (body) body->lastByteTick += ::GetTickCount() - asked;
        if (IsCancelRequested()) return Outcome::Cancelled;
        if (answer != ERROR_INTERNET_FORCE_RETRY) return Outcome::NetworkError;
    }
}

// After a drop the rest is asked for again, up to a few tries in a row that
// bring nothing new, with growing waits between them that Cancel cuts short.
// Until the body gets further than ever before, the silences between tries
// add up, however the time went, and the transfer is given up once they
// reach the stall limit: a try's time-outs are cut to what is left of it,
// and a server that sends the same first bytes again and falls silent
// again does not buy a new limit with them.
CHttpDownloader::Outcome CHttpDownloader::ReceiveBody(CHttpSession& session, CTemporaryFile& file, Body& body)
{
    Outcome result = ReadBody(session, file, body);
    for (int fruitless = 0; result == Outcome::Dropped;) {
        const DWORD wait = m_settings.dwRetryWaitMs << fruitless;
        const DWORD silent = body.silentMs + (::GetTickCount() - body.lastByteTick);
        if (fruitless == MAX_FRUITLESS_TRIES || silent + wait >= m_settings.dwStallLimitMs)
            return Outcome::NetworkError;
        RecordRetryAwaited(fruitless + 1);
        if (::WaitForSingleObject(m_hCancelEvent, wait) != WAIT_TIMEOUT) return Outcome::Cancelled;
        const DWORD left = m_settings.dwStallLimitMs - silent - wait;
        if (!session.SetTimeout(left < m_settings.dwTimeoutMs ? left : m_settings.dwTimeoutMs))
            return Outcome::NetworkError;
        const LONG furthest = body.furthest;
        body.bBetweenTries = true;
        result =
            body.validator.kind != RangeValidator::NONE ? Resume(session, file, body) : StartOver(session, file, body);
        if (result == Outcome::Succeeded) result = ReadBody(session, file, body);
        fruitless = body.furthest > furthest ? 0 : fruitless + 1;
    }
    return result;
}

// Reads what arrives until the body ends, the connection drops, or there is
// more than announced (a broken or hostile server could go on until the disk
// is full).
CHttpDownloader::Outcome CHttpDownloader::ReadBody(CHttpSession& session, CTemporaryFile& file, Body& body)
{
    for (;;) {
        DWORD got = 0;
        if (!session.Read(body.buffer.get(), READ_BUFFER_SIZE, &got)) return Outcome::Dropped;
        if (got == 0) return body.received == body.announced ? Outcome::Succeeded : Outcome::Dropped;
        const DWORD now = ::GetTickCount();
        if (body.bBetweenTries) body.silentMs += now - body.lastByteTick;
        body.bBetweenTries = false;
        body.lastByteTick = now;
        if (!file.Write(body.buffer.get(), got)) return Outcome::FileError;
        const unsigned long long received = static_cast<unsigned long long>(body.received) + got;
        // A read past the announced length ends the loop, so the percentage
        // stays far inside a LONG.
        RecordProgress(static_cast<LONG>(received * 100 / static_cast<unsigned long long>(body.announced)));
        if (received > static_cast<unsigned long long>(body.announced)) return Outcome::NetworkError;
        body.received = static_cast<LONG>(received);
        RecordBytes(body.received, body.announced);
        // Past its furthest point the body has made progress: the silences
        // end, and with them the cut of a try's time-out to what was left.
        if (body.received > body.furthest) {
            body.furthest = body.received;
            body.silentMs = 0;
            if (session.Timeout() != m_settings.dwTimeoutMs && !session.SetTimeout(m_settings.dwTimeoutMs))
                return Outcome::NetworkError;
        }
        // The read that completes the body is not undone by a late Cancel.
        if (body.received < body.announced && IsCancelRequested()) return Outcome::Cancelled;
    }
}

// Asks for the bytes after those received, on condition that the body is
// still the one they came from. A 206 of exactly that rest is appended; a
// 200 is the whole body again (it changed, or the server sends no ranges).
// Any other 206, and a 416, say that the rest cannot be had this way: the
// body is asked for again from its first byte.
CHttpDownloader::Outcome CHttpDownloader::Resume(CHttpSession& session, CTemporaryFile& file, Body& body)
{
    char first[16];
    char headers[RangeValidator::MAX_LENGTH + 64];
    _ltoa(body.received, first, 10);
    if (!JoinText(headers, sizeof headers, {"Range: bytes=", first, "-\r\nIf-Range: ", body.validator.text, "\r\n"}) ||
        !session.Open(session.Url()))
        return Outcome::NetworkError;
    const Outcome result = SendWithCredentials(session, headers, &body);
    if (result != Outcome::Succeeded) return result;
    const int status = session.Status();
    if (status == 200) return TakeWholeBody(session, file, body);
    // A server that ignores If-Range may send the rest of another version:
    // appended, it would make one installer of two.
    if (status == 206 && session.KeepsValidator(body.validator) &&
        HoldsRestOfBody(session, body.received, body.announced))
        return Outcome::Succeeded;
    if (status == 206 || status == 416) return StartOver(session, file, body);
    return Outcome::NetworkError;
}

// The body from its first byte, asked for again. The bar goes back to 0.
CHttpDownloader::Outcome CHttpDownloader::StartOver(CHttpSession& session, CTemporaryFile& file, Body& body)
{
    if (!session.Open(session.Url())) return Outcome::NetworkError;
    const Outcome result = SendWithCredentials(session, nullptr, &body);
    if (result != Outcome::Succeeded) return result;
    if (session.Status() != 200) return Outcome::NetworkError;
    return TakeWholeBody(session, file, body);
}

// A 200 answer replaces what was received: its length and validator are
// those of the body from now on.
CHttpDownloader::Outcome CHttpDownloader::TakeWholeBody(CHttpSession& session, CTemporaryFile& file, Body& body)
{
    if (!session.ContentLength(&body.announced) || !session.IsUnencoded()) return Outcome::NetworkError;
    body.validator = session.Validator();
    if (!file.Truncate()) return Outcome::FileError;
    body.received = 0;
    RecordProgress(0);
    RecordBytes(0, body.announced);
    return Outcome::Succeeded;
}

// Once the window has gone after a cancel, the user has been told the
// download was cancelled and may have started another to the same path: the
// finished body is dropped rather than moved over it.
CHttpDownloader::Outcome CHttpDownloader::MoveOverTargetUnlessDetached(CTemporaryFile& file, LPCWSTR localPath)
{
    if (IsWindowDetached()) return Outcome::Cancelled;
    const bool bKept = file.Keep();
    return file.Close() && bKept && file.MoveOver(localPath) ? Outcome::Succeeded : Outcome::FileError;
}
