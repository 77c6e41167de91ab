#include "framework/CString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

CString::CString(const char* text)
{
    if (text) Assign(text, static_cast<int>(std::strlen(text)));
}

CString::CString(const char* text, int length)
{
    Assign(text, length);
}

CString::CString(const CString& other)
{
    Assign(other.m_pszData, other.m_nLength);
}

CString& CString::operator=(const CString& other)
{
    if (this != &other) Assign(other.m_pszData, other.m_nLength);
    return *this;
}

CString& CString::operator=(const char* text)
{
    Assign(text, text ? static_cast<int>(std::strlen(text)) : 0);
    return *this;
}

CString::~CString()
{
    delete[] m_pszData;
}

void CString::Assign(const char* text, int length)
{
    char* copy = nullptr;
    if (text && length > 0) {
        copy = new char[length + 1];
        std::memcpy(copy, text, static_cast<size_t>(length));
        copy[length] = '\0';
    } else {
        length = 0;
    }
    delete[] m_pszData;
    m_pszData = copy;
    m_nLength = length;
}

char* CString::GetBuffer(int length)
{
    char* buffer = new char[length + 1];
    std::memcpy(buffer, GetString(), static_cast<size_t>(m_nLength < length ? m_nLength : length) + 1);
    buffer[length] = '\0';
    delete[] m_pszData;
    m_pszData = buffer;
    return buffer;
}

void CString::ReleaseBuffer(int length)
{
    if (!m_pszData) return;
    m_nLength = length < 0 ? static_cast<int>(std::strlen(m_pszData)) : length;
    m_pszData[m_nLength] = '\0';
}

void CString::Format(const char* format, ...)
{
    if (!format) {
        Assign(nullptr, 0);
        return;
    }
    va_list args;
    va_start(args, format);
    // The system C runtime's own formatting: measure, then write.
    const int length = _vscprintf(format, args);
    va_end(args);
    if (length <= 0) {
        Assign(nullptr, 0);
        return;
    }
    char* buffer = GetBuffer(length);
    va_start(args, format);
    _vsnprintf(buffer, static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    ReleaseBuffer(length);
}
