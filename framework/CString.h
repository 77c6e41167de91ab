#pragma once
// An 8-bit string in the ANSI code page with the part of MFC's CString that
// the program uses. It keeps its length, so it may hold zero bytes (the file
// dialog's filter list does). Running out of memory throws, as the
// framework's allocator does.

class CString {
public:
    CString() = default;
    CString(const char* text);
    CString(const char* text, int length);
    CString(const CString& other);
    CString& operator=(const CString& other);
    CString& operator=(const char* text);
    ~CString();

    // Replaces the contents with printf-style formatted text of any length.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Room for `length` bytes and a terminator, for a call that writes the
    // text itself; ReleaseBuffer then takes the length (-1: up to the first
    // zero byte).
    char* GetBuffer(int length);
    void ReleaseBuffer(int length = -1);

    int GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }
    const char* GetString() const { return m_pszData ? m_pszData : ""; }
    operator const char*() const { return GetString(); }

private:
    void Assign(const char* text, int length);

    char* m_pszData = nullptr;
    int m_nLength = 0;
};
