#pragma once
// An HTTP server on 127.0.0.1 inside the test process, reached by WinInet
// through its preconfigured proxy, with scripted answers and a record of
// every request.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordedRequest {
    std::string method;
    std::string target;  // through a proxy, the absolute URL
    std::string userAgent;
    std::string cacheControl;
    std::string pragma;
    std::string head;  // request line and headers as received
    std::string range;
};

// How the server answers every request until it is told otherwise.
struct HttpBehaviour {
    static constexpr size_t ALL = static_cast<size_t>(-1);

    int nStatus = 200;
    std::string body;
    std::string contentLength;   // the header's text; empty: no header
    bool bChunked = false;       // body in chunked transfer coding
    size_t bodyBytesSent = ALL;  // then the connection is closed
    size_t stallAt = ALL;        // hold the connection after this many body
                                 // bytes until ReleaseStall or Stop
    bool bSilent = false;        // answer nothing until ReleaseStall or Stop
    std::string location;        // a Location header; empty: none
    std::string extraHeaders;    // more "Name: value\r\n" lines
    // Answers `Range: bytes=N-` whose If-Range equals this with a 206 of the
    // rest (sent as an ETag header unless extraHeaders gives validators);
    // empty: no ranges.
    std::string rangeValidator;
    // The n-th answer with a body closes its connection at the n-th of these
    // offsets into the whole body (then bodyBytesSent applies).
    std::vector<size_t> dropsAt;
    size_t repeatedSize = 0;       // nonzero: `body` repeated up to this size
    int nRangeStatus = 206;        // the status of an answer to a range
    std::string rangeLines;        // sent in it in place of the right Content-Length and -Range
    std::vector<size_t> stallsAt;  // as dropsAt, a `stallAt` for each answer
    bool bIgnoresIfRange = false;  // answers every range asked for
    // From this answer with a body on, a new version: this body of the same
    // size, and these validator lines.
    size_t changedFromAnswer = ALL;
    std::string changedBody, changedHeaders;
    size_t proxyAuthRequest = ALL;  // this request (from 0) is asked for a proxy password

    // Status 200, the body and its length (and `extraHeaders`).
    static HttpBehaviour Whole(std::string body, std::string extraHeaders = "");
    // Announces the whole body but closes after `sent` bytes.
    static HttpBehaviour EarlyClose(std::string body, size_t sent);
    // Announces `announced` bytes and sends the whole, longer body.
    static HttpBehaviour LongerThanAnnounced(std::string body, size_t announced);
    // No Content-Length: the body in chunked coding.
    static HttpBehaviour Chunked(std::string body);
    static HttpBehaviour Status(int status, std::string body);
    // Any Content-Length text, even one that is no number.
    static HttpBehaviour WithContentLength(std::string text, std::string body);
    // Sends `before` bytes, waits for ReleaseStall, then the rest up to `sent`.
    static HttpBehaviour Stalled(std::string body, size_t before, size_t sent = ALL);
    // Takes the request and says nothing.
    static HttpBehaviour Silent();
    // A redirect to `location`, absolute or relative.
    static HttpBehaviour Redirect(int status, std::string location);
    // Announces `size` bytes: `body` over and over.
    static HttpBehaviour Repeated(std::string body, size_t size);
    // The whole body, answering ranges for `validator` (by default a strong
    // ETag), dropping the connection of the n-th answer at `drops[n]`.
    static HttpBehaviour Resumable(std::string body, std::vector<size_t> drops, std::string validator = "\"v1\"",
                                   std::string validatorHeaders = "");
};

// `size` bytes of a pattern that does not repeat every 64 KB.
std::string PatternBody(size_t size);

class LoopbackHttpServer {
public:
    LoopbackHttpServer() = default;
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    // Listens on 127.0.0.1 at `port` (0: any free one). False on failure.
    bool Start(USHORT port = 0);
    // Closes the listener and every connection; stalled answers end.
    void Stop();
    USHORT Port() const { return m_nPort; }

    void SetBehaviour(const HttpBehaviour& behaviour);
    // How requests whose target ends in `path` are answered, ahead of the
    // behaviour for every other request.
    void SetBehaviourForPath(const std::string& path, const HttpBehaviour& behaviour);
    void ReleaseStall();
    // True once a response has reached its stall point.
    bool WaitForStall(DWORD timeoutMs = 10000);
    std::vector<RecordedRequest> Requests();
    // Body bytes the server has handed to its sockets so far.
    unsigned long long BodyBytesSent() { return m_nBodyBytesSent; }

    // A loopback port where nothing listens (for a refused connection).
    static USHORT UnusedPort();

private:
    void AcceptLoop();
    void Serve(SOCKET client);
    bool SendAll(SOCKET client, const char* data, size_t size);
    bool SendBody(SOCKET client, const HttpBehaviour& behaviour, size_t from, size_t to);

    SOCKET m_listener = INVALID_SOCKET;
    USHORT m_nPort = 0;
    HANDLE m_hStop = nullptr;
    HANDLE m_hRelease = nullptr;
    HANDLE m_hStalled = nullptr;
    std::thread m_acceptThread;
    std::mutex m_mutex;
    HttpBehaviour m_behaviour;
    std::vector<std::pair<std::string, HttpBehaviour>> m_pathBehaviours;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::thread> m_connections;
    std::vector<SOCKET> m_sockets;
    size_t m_nBodyAnswers = 0;
    size_t m_nAnswers = 0;
    std::atomic<unsigned long long> m_nBodyBytesSent{0};
};

// Points the current user's preconfigured proxy at 127.0.0.1:`port` for its
// lifetime and restores the previous settings afterwards, so that requests
// for the fixed download host on port 80 reach a loopback server.
class ProxyRoute {
public:
    explicit ProxyRoute(USHORT port);
    ~ProxyRoute();
    ProxyRoute(const ProxyRoute&) = delete;
    ProxyRoute& operator=(const ProxyRoute&) = delete;

private:
    struct SavedValue {
        const char* name;
        bool bPresent;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY m_hKey = nullptr;
    std::vector<SavedValue> m_saved;
};
