#include "framework/CStringW.h"

#include <cstring>
#include <cwchar>

CStringW::CStringW(const wchar_t* text)
{
    if (text) Assign(text, static_cast<int>(std::wcslen(text)));
}

CStringW::CStringW(const wchar_t* text, int length)
{
    Assign(text, length);
}

CStringW::CStringW(const CStringW& other)
{
    Assign(other.m_pszData, other.m_nLength);
}

CStringW& CStringW::operator=(const CStringW& other)
{
    if (this != &other) Assign(other.m_pszData, other.m_nLength);
    return *this;
}

CStringW& CStringW::operator=(const wchar_t* text)
{
    Assign(text, text ? static_cast<int>(std::wcslen(text)) : 0);
    return *this;
}

CStringW::~CStringW()
{
    delete[] m_pszData;
}

void CStringW::Assign(const wchar_t* text, int length)
{
    wchar_t* copy = nullptr;
    if (text && length > 0) {
        copy = new wchar_t[length + 1];
        std::memcpy(copy, text, static_cast<size_t>(length) * sizeof(wchar_t));
        copy[length] = L'\0';
    } else {
        length = 0;
    }
    delete[] m_pszData;
    m_pszData = copy;
    m_nLength = length;
}
