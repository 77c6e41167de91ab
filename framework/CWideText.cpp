#include "framework/CWideText.h"

CWideText::CWideText(const char* text, UINT codePage, DWORD flags)
{
    if (!text) return;
    const int length = ::MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (length <= 0) return;
    m_pszText = new wchar_t[length];
    if (::MultiByteToWideChar(codePage, flags, text, -1, m_pszText, length) != length) {
        delete[] m_pszText;
        m_pszText = nullptr;
    }
}
