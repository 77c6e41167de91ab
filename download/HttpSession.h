#pragma once
// One HTTP GET over WinInet and what its answer says about the body: the
// status, the length, the coding, the validators and the range it holds.
#include <windows.h>
#include <wininet.h>

#include <initializer_list>

#include "download/HeaderRules.h"

// Closes a WinInet handle when the scope that opened it ends.
class CInternetHandle {
public:
    explicit CInternetHandle(HINTERNET hInternet = nullptr) : m_hInternet(hInternet) {}
    ~CInternetHandle() { Reset(nullptr); }
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

// A session with the transfer's time-outs and one request at a time in it.
// Closing the session closes the request and its connection with it, and
// WinInet discards whatever of the body was still unread.
class CHttpSession {
public:
    explicit CHttpSession(DWORD timeoutMs) : m_dwTimeoutMs(timeoutMs) {}

    bool OpenSession();
    // The connect and receive time-out of the open request and of those
    // opened from now on; false when the open request refuses it.
    bool SetTimeout(DWORD timeoutMs);
    DWORD Timeout() const { return m_dwTimeoutMs; }
    // Opens a GET for an absolute http or https `url` on a connection of its
    // own, replacing the request before it. Any #fragment is dropped: it
    // names a place inside the document and is never sent.
    bool Open(LPCSTR url);
    // Sends the request, with `headers` ("Name: value\r\n" lines, or
    // nothing) added to the fixed ones.
    bool Send(LPCSTR headers);
    // Where the redirect that answered points, resolved against the URL of
    // the request; false when the answer has no Location or it cannot be
    // resolved. A target that is not http or https comes back as it is, and
    // Open refuses it.
    bool RedirectTarget(char (&target)[INTERNET_MAX_URL_LENGTH]);
    // Reads what has arrived, at most `size` bytes, waiting only when
    // nothing has (or, while the link fills `size` bytes within a quarter
    // of a second, the full `size`); TRUE with 0 bytes is the end.
    bool Read(BYTE* buffer, DWORD size, DWORD* got);
    // Closes the session; in-flight data is discarded, not read.
    void Close();

    // The status code, or 0 when there is none.
    int Status();
    // The single Content-Length as a positive signed 32-bit count; false
    // when it is missing, malformed, unreadable or given twice with
    // different values.
    bool ContentLength(LONG* length);
    // No Content-Encoding, or identity.
    bool IsUnencoded();
    // The validator that tells whether a later range is of the same body.
    RangeValidator Validator();
    // Whether a 206 answer says it is of the body that `sent` names.
    bool KeepsValidator(const RangeValidator& sent);
    // The range of a 206 answer.
    bool Range(ContentRange* range);

    HINTERNET Handle() const { return m_hRequest; }
    LPCSTR Url() const { return m_szUrl; }

private:
    // The header's text, terminated, and its length in `length`.
    bool QueryHeader(DWORD info, char* text, DWORD size, DWORD* index = nullptr, DWORD* length = nullptr);
    HeaderField ReadField(DWORD info, char* text, DWORD size);
    void NoteArrival(DWORD got, DWORD size);

    DWORD m_dwTimeoutMs;
    // Declared first so that it is closed last.
    CInternetHandle m_hRoot;
    CInternetHandle m_hConnection;
    CInternetHandle m_hRequest;
    char m_szUrl[INTERNET_MAX_URL_LENGTH] = {};
    // Whether the link fills the read buffer quickly, from the bytes that
    // arrived since m_dwMeasureStart (0: no byte yet).
    bool m_bFastLink = false;
    DWORD m_dwMeasureStart = 0;
    DWORD m_dwMeasureBytes = 0;
};

// Joins `parts` into `buffer`; false, with the buffer empty, when they do
// not fit.
bool JoinText(char* buffer, size_t size, std::initializer_list<const char*> parts);
