#pragma once
// The Open / Save As common dialog: an OPENFILENAME filled in by the
// constructor and a DoModal that returns IDOK or IDCANCEL.
#include <windows.h>
#include <commdlg.h>

#include "framework/CString.h"
#include "framework/CWnd.h"

class CFileDialog {
public:
    CFileDialog(BOOL openFileDialog, const char* defaultExtension = nullptr, const char* fileName = nullptr,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* filter = nullptr,
                CWnd* parent = nullptr);
    virtual ~CFileDialog() = default;
    CFileDialog(const CFileDialog&) = delete;
    CFileDialog& operator=(const CFileDialog&) = delete;

    virtual INT_PTR DoModal();
    CString GetPathName() const;  // the full path the user chose
    CString GetFileName() const;  // its last component, taken at nFileOffset

    OPENFILENAMEA m_ofn{};

private:
    BOOL m_bOpenFileDialog;
    CWnd* m_pParentWnd;
    CString m_filter;
    CString m_defaultExtension;
    char m_szFileName[MAX_PATH] = {};
};

// Turns MFC's "Name|pattern|...||" filter into the double-zero-terminated
// list that OPENFILENAME takes. Double-byte characters of `codePage` are
// stepped over whole, so a trail byte equal to '|' is never taken for one.
CString ConvertFilterString(const char* filter, UINT codePage = CP_ACP);
