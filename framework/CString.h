#pragma once
// An 8-bit string in the ANSI code page with the part of MFC's CString that
// the program uses. Backed by std::string, so it may hold any bytes.
#include <string>

class CString {
public:
    CString() = default;
    CString(const char* text) : m_text(text ? text : "") {}
    CString(const std::string& text) : m_text(text) {}

    CString& operator=(const char* text);
    CString& operator+=(const CString& other);
    friend CString operator+(const CString& left, const CString& right);
    friend bool operator==(const CString& left, const CString& right) { return left.m_text == right.m_text; }
    friend bool operator!=(const CString& left, const CString& right) { return !(left == right); }

    // Replaces the contents with printf-style formatted text of any length.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    operator const char*() const { return m_text.c_str(); }
    const char* GetString() const { return m_text.c_str(); }

private:
    std::string m_text;
};
