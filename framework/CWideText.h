#pragma once
// 8-bit text converted to UTF-16 for a call that takes wide strings. The
// program's own texts are in code page 932 whatever the system's ANSI code
// page is; paths and other system data are in the ANSI code page (CP_ACP).
#include <windows.h>

// The code page of the program's own 8-bit texts (Shift-JIS).
constexpr UINT PROGRAM_TEXT_CODE_PAGE = 932;

class CWideText {
public:
    CWideText(const char* text, UINT codePage, DWORD flags = 0);
    ~CWideText() { delete[] m_pszText; }
    CWideText(const CWideText&) = delete;
    CWideText& operator=(const CWideText&) = delete;

    // False when the text could not be converted (null text, or a byte
    // sequence invalid in the code page with MB_ERR_INVALID_CHARS).
    bool IsValid() const { return m_pszText != nullptr; }
    operator LPCWSTR() const { return m_pszText ? m_pszText : L""; }

private:
    wchar_t* m_pszText = nullptr;
};
