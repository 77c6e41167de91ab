#include "tests/support/LoopbackHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

HttpBehaviour HttpBehaviour::Whole(std::string body, std::string extraHeaders)
{
    HttpBehaviour behaviour;
    behaviour.extraHeaders = std::move(extraHeaders);
    behaviour.contentLength = std::to_string(body.size());
    behaviour.body = std::move(body);
    return behaviour;
}

HttpBehaviour HttpBehaviour::EarlyClose(std::string body, size_t sent)
{
    HttpBehaviour behaviour = Whole(std::move(body));
    behaviour.bodyBytesSent = sent;
    return behaviour;
}

HttpBehaviour HttpBehaviour::LongerThanAnnounced(std::string body, size_t announced)
{
    HttpBehaviour behaviour = Whole(std::move(body));
    behaviour.contentLength = std::to_string(announced);
    return behaviour;
}

HttpBehaviour HttpBehaviour::Chunked(std::string body)
{
    HttpBehaviour behaviour;
    behaviour.body = std::move(body);
    behaviour.bChunked = true;
    return behaviour;
}

HttpBehaviour HttpBehaviour::Status(int status, std::string body)
{
    HttpBehaviour behaviour = Whole(std::move(body));
    behaviour.nStatus = status;
    return behaviour;
}

HttpBehaviour HttpBehaviour::WithContentLength(std::string text, std::string body)
{
    HttpBehaviour behaviour;
    behaviour.body = std::move(body);
    behaviour.contentLength = std::move(text);
    return behaviour;
}

HttpBehaviour HttpBehaviour::Stalled(std::string body, size_t before, size_t sent)
{
    HttpBehaviour behaviour = Whole(std::move(body));
    behaviour.stallAt = before;
    behaviour.bodyBytesSent = sent;
    return behaviour;
}

HttpBehaviour HttpBehaviour::Silent()
{
    HttpBehaviour behaviour;
    behaviour.bSilent = true;
    return behaviour;
}

HttpBehaviour HttpBehaviour::Redirect(int status, std::string location)
{
    HttpBehaviour behaviour = Status(status, "moved");
    behaviour.location = std::move(location);
    return behaviour;
}

HttpBehaviour HttpBehaviour::Repeated(std::string body, size_t size)
{
    HttpBehaviour behaviour = Whole(std::move(body));
    behaviour.repeatedSize = size;
    behaviour.contentLength = std::to_string(size);
    return behaviour;
}

HttpBehaviour HttpBehaviour::Resumable(std::string body, std::vector<size_t> drops, std::string validator,
                                       std::string validatorHeaders)
{
    HttpBehaviour behaviour = Whole(std::move(body), std::move(validatorHeaders));
    behaviour.rangeValidator = std::move(validator);
    behaviour.dropsAt = std::move(drops);
    return behaviour;
}

std::string PatternBody(size_t size)
{
    std::string body(size, '\0');
    unsigned value = 0x12345678u;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        body[i] = static_cast<char>(value >> 24);
    }
    return body;
}

namespace {

const char* ReasonPhrase(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 206:
            return "Partial Content";
        case 404:
            return "Not Found";
        case 407:
            return "Proxy Authentication Required";
        case 500:
            return "Internal Server Error";
    }
    return "Status";
}

// The value of header `name` in a request head, or "" when it is absent.
std::string HeaderValue(const std::string& head, const char* name)
{
    const size_t nameLength = std::strlen(name);
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        const size_t start = line + 2;
        const size_t end = head.find("\r\n", start);
        const std::string text = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (text.size() > nameLength && text[nameLength] == ':' && _strnicmp(text.c_str(), name, nameLength) == 0) {
            size_t value = nameLength + 1;
            while (value < text.size() && text[value] == ' ') ++value;
            return text.substr(value);
        }
        line = end;
    }
    return "";
}

// Where a 206 answer starts: the N of `Range: bytes=N-` when the server
// offers ranges and If-Range names its validator; 0 for the whole body.
size_t RangeStart(const HttpBehaviour& behaviour, const std::string& range, const std::string& ifRange)
{
    if (behaviour.rangeValidator.empty() || (ifRange != behaviour.rangeValidator && !behaviour.bIgnoresIfRange))
        return 0;
    if (range.compare(0, 6, "bytes=") != 0 || range.back() != '-') return 0;
    return std::strtoull(range.c_str() + 6, nullptr, 10);
}

}  // namespace

LoopbackHttpServer::~LoopbackHttpServer()
{
    Stop();
}

bool LoopbackHttpServer::Start(USHORT port)
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof address;
    if (m_listener == INVALID_SOCKET ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, SOMAXCONN) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener != INVALID_SOCKET) ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        ::WSACleanup();
        return false;
    }
    m_nPort = ntohs(address.sin_port);
    m_hStop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hRelease = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hStalled = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void LoopbackHttpServer::Stop()
{
    if (m_listener == INVALID_SOCKET) return;
    ::SetEvent(m_hStop);
    m_acceptThread.join();
    ::closesocket(m_listener);
    m_listener = INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (SOCKET client : m_sockets) ::shutdown(client, SD_BOTH);
    }
    for (std::thread& connection : m_connections) connection.join();
    m_connections.clear();
    for (HANDLE event : {m_hStop, m_hRelease, m_hStalled}) ::CloseHandle(event);
    m_hStop = m_hRelease = m_hStalled = nullptr;
    ::WSACleanup();
}

void LoopbackHttpServer::SetBehaviour(const HttpBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_behaviour = behaviour;
    m_pathBehaviours.clear();
    m_nBodyAnswers = 0;
    m_nAnswers = 0;
    ::ResetEvent(m_hRelease);
    ::ResetEvent(m_hStalled);
}

void LoopbackHttpServer::SetBehaviourForPath(const std::string& path, const HttpBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pathBehaviours.emplace_back(path, behaviour);
}

void LoopbackHttpServer::ReleaseStall()
{
    ::SetEvent(m_hRelease);
}

bool LoopbackHttpServer::WaitForStall(DWORD timeoutMs)
{
    return ::WaitForSingleObject(m_hStalled, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<RecordedRequest> LoopbackHttpServer::Requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

USHORT LoopbackHttpServer::UnusedPort()
{
    LoopbackHttpServer probe;
    if (!probe.Start()) return 0;
    const USHORT port = probe.Port();
    probe.Stop();
    return port;
}

void LoopbackHttpServer::AcceptLoop()
{
    // A short select keeps the loop responsive to Stop without relying on a
    // close from another thread to wake a blocking accept.
    while (::WaitForSingleObject(m_hStop, 0) == WAIT_TIMEOUT) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval wait{0, 50000};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) continue;
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sockets.push_back(client);
        m_connections.emplace_back([this, client] { Serve(client); });
    }
}

bool LoopbackHttpServer::SendAll(SOCKET client, const char* data, size_t size)
{
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        const int sent = ::send(client, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool LoopbackHttpServer::SendBody(SOCKET client, const HttpBehaviour& behaviour, size_t from, size_t to)
{
    if (to <= from) return true;
    if (behaviour.repeatedSize) {
        for (size_t at = from; at < to;) {
            const size_t offset = at % behaviour.body.size();
            const size_t size = std::min(to - at, behaviour.body.size() - offset);
            if (!SendAll(client, behaviour.body.data() + offset, size)) return false;
            m_nBodyBytesSent += size;
            at += size;
        }
        return true;
    }
    if (!behaviour.bChunked) return SendAll(client, behaviour.body.data() + from, to - from);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", to - from);
    return SendAll(client, size, std::strlen(size)) && SendAll(client, behaviour.body.data() + from, to - from) &&
           SendAll(client, "\r\n", 2);
}

void LoopbackHttpServer::Serve(SOCKET client)
{
    DWORD timeout = 10000;
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string head;
    char chunk[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        const int got = ::recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        head.append(chunk, static_cast<size_t>(got));
    }

    HttpBehaviour behaviour;
    size_t from = 0;
    if (head.find("\r\n\r\n") != std::string::npos) {
        RecordedRequest request;
        const size_t lineEnd = head.find("\r\n");
        const std::string line = head.substr(0, lineEnd);
        const size_t firstSpace = line.find(' ');
        const size_t lastSpace = line.rfind(' ');
        request.method = line.substr(0, firstSpace);
        if (firstSpace != std::string::npos && lastSpace > firstSpace)
            request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        request.userAgent = HeaderValue(head, "User-Agent");
        request.cacheControl = HeaderValue(head, "Cache-Control");
        request.pragma = HeaderValue(head, "Pragma");
        request.head = head.substr(0, head.find("\r\n\r\n") + 2);
        request.range = HeaderValue(head, "Range");
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
        behaviour = m_behaviour;
        for (const auto& byPath : m_pathBehaviours) {
            const std::string& path = byPath.first;
            if (request.target.size() >= path.size() &&
                request.target.compare(request.target.size() - path.size(), path.size(), path) == 0)
                behaviour = byPath.second;
        }
        from = RangeStart(behaviour, request.range, HeaderValue(head, "If-Range"));
        if (m_nAnswers++ == behaviour.proxyAuthRequest) {
            behaviour = HttpBehaviour::Whole("", "Proxy-Authenticate: Basic realm=\"loopback\"\r\n");
            behaviour.nStatus = 407;
        } else if (behaviour.nStatus == 200) {
            const size_t answer = m_nBodyAnswers++;
            if (answer < behaviour.dropsAt.size()) behaviour.bodyBytesSent = behaviour.dropsAt[answer];
            if (answer < behaviour.stallsAt.size()) behaviour.stallAt = behaviour.stallsAt[answer];
            if (answer >= behaviour.changedFromAnswer) {
                behaviour.body = behaviour.changedBody;
                behaviour.extraHeaders = behaviour.changedHeaders;
            }
        }
    } else {
        behaviour.nStatus = 0;
    }

    if (behaviour.bSilent) {
        ::SetEvent(m_hStalled);
        HANDLE events[] = {m_hRelease, m_hStop};
        ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
    } else if (behaviour.nStatus != 0) {
        const size_t size = behaviour.repeatedSize ? behaviour.repeatedSize : behaviour.body.size();
        const int statusCode = from ? behaviour.nRangeStatus : behaviour.nStatus;
        char status[64];
        std::snprintf(status, sizeof status, "HTTP/1.1 %d %s\r\n", statusCode, ReasonPhrase(statusCode));
        std::string response = status;
        response += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (from) response += behaviour.rangeLines;
        if (from && statusCode != 206)
            from = behaviour.body.size();  // an error page without the body
        else if (from && behaviour.rangeLines.empty())
            response += "Content-Length: " + std::to_string(size - from) + "\r\nContent-Range: bytes " +
                        std::to_string(from) + "-" + std::to_string(size - 1) + "/" + std::to_string(size) + "\r\n";
        else if (!behaviour.contentLength.empty())
            response += "Content-Length: " + behaviour.contentLength + "\r\n";
        if (!behaviour.rangeValidator.empty() && behaviour.extraHeaders.empty())
            response += "ETag: " + behaviour.rangeValidator + "\r\n";
        response += behaviour.extraHeaders;
        if (behaviour.bChunked) response += "Transfer-Encoding: chunked\r\n";
        if (!behaviour.location.empty()) response += "Location: " + behaviour.location + "\r\n";
        response += "\r\n";

        const size_t end = std::max(from, std::min(behaviour.bodyBytesSent, size));
        const size_t stall = std::max(from, std::min(behaviour.stallAt, end));
        bool ok = SendAll(client, response.data(), response.size()) && SendBody(client, behaviour, from, stall);
        if (ok && behaviour.stallAt != HttpBehaviour::ALL) {
            ::SetEvent(m_hStalled);
            HANDLE events[] = {m_hRelease, m_hStop};
            ok = ::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
        }
        ok = ok && SendBody(client, behaviour, stall, end);
        if (ok && behaviour.bChunked && end == size) SendAll(client, "0\r\n\r\n", 5);
    }

    ::shutdown(client, SD_SEND);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), client), m_sockets.end());
    ::closesocket(client);
}

ProxyRoute::ProxyRoute(USHORT port)
{
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                          nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_hKey, nullptr) != ERROR_SUCCESS) {
        m_hKey = nullptr;
        return;
    }
    for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride"}) {
        SavedValue saved{name, false, 0, std::vector<BYTE>(1024)};
        DWORD size = static_cast<DWORD>(saved.data.size());
        saved.bPresent =
            ::RegQueryValueExA(m_hKey, name, nullptr, &saved.type, saved.data.data(), &size) == ERROR_SUCCESS;
        saved.data.resize(saved.bPresent ? size : 0);
        m_saved.push_back(saved);
    }
    const DWORD enable = 1;
    char server[32];
    std::snprintf(server, sizeof server, "127.0.0.1:%u", port);
    ::RegSetValueExA(m_hKey, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    ::RegSetValueExA(m_hKey, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server),
                     static_cast<DWORD>(std::strlen(server) + 1));
    ::RegDeleteValueA(m_hKey, "ProxyOverride");
}

ProxyRoute::~ProxyRoute()
{
    if (!m_hKey) return;
    for (const SavedValue& saved : m_saved) {
        if (saved.bPresent)
            ::RegSetValueExA(m_hKey, saved.name, 0, saved.type, saved.data.data(),
                             static_cast<DWORD>(saved.data.size()));
        else
            ::RegDeleteValueA(m_hKey, saved.name);
    }
    ::RegCloseKey(m_hKey);
}
