#pragma once
// The Save As common dialog: an OPENFILENAMEW filled in by the constructor
// and a DoModal that returns IDOK or IDCANCEL. The program's own texts it
// is given (code page 932) are converted for display; the path the user
// chooses comes back in UTF-16, so a folder that the system's ANSI code
// page cannot name arrives whole.
#include <windows.h>
#include <commdlg.h>

#include <memory>

#include "framework/CStringW.h"
#include "framework/CWideText.h"
#include "framework/CWnd.h"

class CFileDialog {
public:
    CFileDialog(const char* defaultExtension = nullptr, const char* fileName = nullptr,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* filter = nullptr,
                CWnd* parent = nullptr);
    virtual ~CFileDialog() = default;
    CFileDialog(const CFileDialog&) = delete;
    CFileDialog& operator=(const CFileDialog&) = delete;

    virtual INT_PTR DoModal();
    CStringW GetPathName() const;  // the full path the user chose
    CStringW GetFileName() const;  // its last component, taken at nFileOffset

    OPENFILENAMEW m_ofn{};

private:
    CWnd* m_pParentWnd;
    CStringW m_filter;
    CStringW m_defaultExtension;
    // Room for the longest path the dialog can return, so that it never
    // fails for want of room; what the program can use is for it to decide.
    static constexpr DWORD FILE_NAME_BUFFER_SIZE = 32768;
    std::unique_ptr<wchar_t[]> m_pszFileName{new wchar_t[FILE_NAME_BUFFER_SIZE]()};
};

// Turns MFC's "Name|pattern|...||" filter, 8-bit text in `codePage`, into
// the double-zero-terminated UTF-16 list that OPENFILENAMEW takes. The text
// is converted before the bars are looked for, so a trail byte equal to '|'
// is never taken for one.
CStringW ConvertFilterString(const char* filter, UINT codePage = PROGRAM_TEXT_CODE_PAGE);
