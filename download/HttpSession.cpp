#include "download/HttpSession.h"

#include <cstring>

#include "download/DownloadConstants.h"

namespace {

constexpr DWORD CONNECT_RETRIES = 5;
// Redirects are followed by the transfer rather than by WinInet, which on
// some systems follows a redirect loop without end. Keep-alive is what
// NTLM and Negotiate proxies need to answer with the user's own logon.
constexpr DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                                INTERNET_FLAG_KEEP_CONNECTION;
// The installer is saved byte for byte as the server holds it: a compressed
// answer would be saved compressed.
constexpr char FIXED_HEADERS[] = "Accept-Encoding: identity\r\n";

// Query, then set with the length the query returned. An implementation that
// accepts an option but cannot report it (Wine's, for the connect retries and
// the time-outs: ERROR_INTERNET_INCORRECT_HANDLE_TYPE or
// ERROR_INTERNET_INVALID_OPTION) still gets it set, with its natural length;
// any other failed query, and any failed set, is a failure.
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

}  // namespace

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

bool CHttpSession::OpenSession()
{
    m_hRoot.Reset(::InternetOpenA(DOWNLOAD_USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    return m_hRoot && SetDwordOption(m_hRoot, INTERNET_OPTION_CONNECT_TIMEOUT, m_dwTimeoutMs) &&
           SetDwordOption(m_hRoot, INTERNET_OPTION_CONNECT_RETRIES, CONNECT_RETRIES) &&
           SetDwordOption(m_hRoot, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, m_dwTimeoutMs) &&
           SetDwordOption(m_hRoot, INTERNET_OPTION_RECEIVE_TIMEOUT, m_dwTimeoutMs);
}

bool CHttpSession::SetTimeout(DWORD timeoutMs)
{
    m_dwTimeoutMs = timeoutMs;
    return !m_hRequest || SetRequestTimeouts(m_hRequest, timeoutMs);
}

bool CHttpSession::Open(LPCSTR url)
{
    m_bFastLink = false;
    m_dwMeasureStart = m_dwMeasureBytes = 0;
    m_hRequest.Reset(nullptr);
    m_hConnection.Reset(nullptr);
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
    if (!::InternetCrackUrlA(url, 0, 0, &parts) || !host[0]) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    // The extra part is the query and the fragment; only the query is sent.
    if (char* fragment = std::strchr(extra, '#')) *fragment = '\0';
    char objectName[INTERNET_MAX_URL_LENGTH];
    if (!JoinText(objectName, sizeof objectName, {path, extra})) return false;
    // A request again at the same URL passes m_szUrl itself.
    if (url != m_szUrl) ::lstrcpynA(m_szUrl, url, sizeof m_szUrl);
    if (char* fragment = std::strchr(m_szUrl, '#')) *fragment = '\0';

    m_hConnection.Reset(::InternetConnectA(m_hRoot, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!m_hConnection) return false;
    const DWORD flags = REQUEST_FLAGS | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    m_hRequest.Reset(::HttpOpenRequestA(m_hConnection, "GET", objectName, nullptr, nullptr, nullptr, flags, 0));
    return m_hRequest && SetRequestTimeouts(m_hRequest, m_dwTimeoutMs) &&
           ::HttpAddRequestHeadersA(m_hRequest, FIXED_HEADERS, static_cast<DWORD>(-1L),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

bool CHttpSession::Send(LPCSTR headers)
{
    const DWORD length = headers && headers[0] ? static_cast<DWORD>(-1L) : 0;
    return ::HttpSendRequestA(m_hRequest, length ? headers : nullptr, length, nullptr, 0) != FALSE;
}

bool CHttpSession::RedirectTarget(char (&target)[INTERNET_MAX_URL_LENGTH])
{
    char location[INTERNET_MAX_URL_LENGTH];
    if (!QueryHeader(HTTP_QUERY_LOCATION, location, sizeof location) || !location[0]) return false;
    DWORD length = sizeof target;
    return ::InternetCombineUrlA(m_szUrl, location, target, &length, ICU_NO_ENCODE) != FALSE;
}

bool CHttpSession::Read(BYTE* buffer, DWORD size, DWORD* got)
{
    *got = 0;
    DWORD wanted = size;
    if (!m_bFastLink) {
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(m_hRequest, &available, 0, 0)) return false;
        // Nothing available is the end, or a WinInet that cannot tell: a
        // full read then waits for the next bytes or confirms the end.
        if (available > 0 && available < size) wanted = available;
    }
    if (!::InternetReadFile(m_hRequest, buffer, wanted, got)) return false;
    NoteArrival(*got, size);
    return true;
}

// Asking only for what has arrived costs a call or two per few kilobytes,
// which a fast link notices; a full buffer is asked for while the link fills
// one within a quarter of a second, so the bar still moves several times a
// second either way.
void CHttpSession::NoteArrival(DWORD got, DWORD size)
{
    constexpr DWORD MEASURE_MS = 250;
    const DWORD now = ::GetTickCount();
    if (!m_dwMeasureStart) m_dwMeasureStart = now;
    m_dwMeasureBytes += got;
    const DWORD elapsed = now - m_dwMeasureStart;
    // A full buffer already: no need to wait for the end of the measure.
    const bool bFilledEarly = !m_bFastLink && m_dwMeasureBytes >= size && elapsed < MEASURE_MS;
    if (!bFilledEarly && elapsed < MEASURE_MS) return;
    m_bFastLink = bFilledEarly || static_cast<unsigned long long>(m_dwMeasureBytes) * MEASURE_MS >=
                                      static_cast<unsigned long long>(size) * elapsed;
    m_dwMeasureStart = now;
    m_dwMeasureBytes = 0;
}

void CHttpSession::Close()
{
    m_hRequest.Reset(nullptr);
    m_hConnection.Reset(nullptr);
    m_hRoot.Reset(nullptr);
}

int CHttpSession::Status()
{
    char text[16];
    DWORD length = 0;
    int32_t status = 0;
    if (!QueryHeader(HTTP_QUERY_STATUS_CODE, text, sizeof text, nullptr, &length)) return 0;
    return ParseDecimalCount(text, length, &status) ? static_cast<int>(status) : 0;
}

bool CHttpSession::ContentLength(LONG* length)
{
    // Every Content-Length line, through the header index. Only the end of
    // the list ends it: a line too long to read is no count either.
    ContentLengthLines lines;
    for (DWORD index = 0;;) {
        char text[64];
        DWORD textLength = 0;
        const DWORD before = index;
        if (!QueryHeader(HTTP_QUERY_CONTENT_LENGTH, text, sizeof text, &index, &textLength)) {
            if (::GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND) return false;
            break;
        }
        if (!lines.Take(text, textLength)) return false;
        if (index == before) break;
    }
    if (!lines.bFound) return false;
    *length = lines.length;
    return true;
}

bool CHttpSession::IsUnencoded()
{
    char text[64];
    if (!QueryHeader(HTTP_QUERY_CONTENT_ENCODING, text, sizeof text))
        return ::GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND;
    return _stricmp(text, "identity") == 0;
}

RangeValidator CHttpSession::Validator()
{
    char etag[RangeValidator::MAX_LENGTH + 1];
    char lastModified[RangeValidator::MAX_LENGTH + 1];
    char date[RangeValidator::MAX_LENGTH + 1];
    return ChooseRangeValidator(ReadField(HTTP_QUERY_ETAG, etag, sizeof etag),
                                ReadField(HTTP_QUERY_LAST_MODIFIED, lastModified, sizeof lastModified),
                                ReadField(HTTP_QUERY_DATE, date, sizeof date));
}

bool CHttpSession::KeepsValidator(const RangeValidator& sent)
{
    char etag[RangeValidator::MAX_LENGTH + 1];
    char lastModified[RangeValidator::MAX_LENGTH + 1];
    return ::KeepsValidator(sent, ReadField(HTTP_QUERY_ETAG, etag, sizeof etag),
                            ReadField(HTTP_QUERY_LAST_MODIFIED, lastModified, sizeof lastModified));
}

bool CHttpSession::Range(ContentRange* range)
{
    char text[128];
    DWORD length = 0;
    return QueryHeader(HTTP_QUERY_CONTENT_RANGE, text, sizeof text, nullptr, &length) &&
           ParseContentRange(text, length, range);
}

bool CHttpSession::QueryHeader(DWORD info, char* text, DWORD size, DWORD* index, DWORD* length)
{
    std::memset(text, 0, size);
    DWORD got = size;
    if (!::HttpQueryInfoA(m_hRequest, info, text, &got, index)) return false;
    if (got >= size) got = size - 1;
    text[got] = '\0';
    if (length) *length = got;
    return true;
}

HeaderField CHttpSession::ReadField(DWORD info, char* text, DWORD size)
{
    HeaderField field;
    DWORD length = 0;
    if (QueryHeader(info, text, size, nullptr, &length)) {
        field.state = HeaderField::READ;
        field.text = text;
        field.length = length;
    } else if (::GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND) {
        field.state = HeaderField::UNREADABLE;
    }
    return field;
}
