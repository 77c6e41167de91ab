#include "framework/CFileDialog.h"

#include <cstring>

#include "framework/CDialog.h"

std::string ConvertFilterString(const char* filter, UINT codePage)
{
    std::string result;
    if (!filter) return result;
    for (const char* p = filter; *p; ++p) {
        if (::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*p)) && p[1]) {
            result += p[0];
            result += p[1];
            ++p;
        } else {
            result += *p == '|' ? '\0' : *p;
        }
    }
    // The list ends with two zero bytes whether or not the text ended "||".
    while (result.size() < 2 || result[result.size() - 1] != '\0' || result[result.size() - 2] != '\0') result += '\0';
    return result;
}

CFileDialog::CFileDialog(BOOL openFileDialog, const char* defaultExtension, const char* fileName, DWORD flags,
                         const char* filter, CWnd* parent)
    : m_bOpenFileDialog(openFileDialog), m_pParentWnd(parent)
{
    m_ofn.lStructSize = sizeof m_ofn;
    m_ofn.lpstrFile = m_szFileName;
    m_ofn.nMaxFile = MAX_PATH;
    m_ofn.Flags = flags | OFN_EXPLORER;
    if (defaultExtension) {
        m_defaultExtension = defaultExtension;
        m_ofn.lpstrDefExt = m_defaultExtension.c_str();
    }
    if (fileName) {
        std::strncpy(m_szFileName, fileName, MAX_PATH - 1);
        m_szFileName[MAX_PATH - 1] = '\0';
    }
    if (filter) {
        m_filter = ConvertFilterString(filter);
        m_ofn.lpstrFilter = m_filter.c_str();
    }
}

INT_PTR CFileDialog::DoModal()
{
    m_ofn.hwndOwner = AfxGetSafeOwner(m_pParentWnd);
    m_ofn.hInstance = nullptr;
    const BOOL chosen = m_bOpenFileDialog ? ::GetOpenFileNameA(&m_ofn) : ::GetSaveFileNameA(&m_ofn);
    return chosen ? IDOK : IDCANCEL;
}

CString CFileDialog::GetPathName() const
{
    return CString(m_szFileName);
}

CString CFileDialog::GetFileName() const
{
    if (m_ofn.nFileOffset >= std::strlen(m_szFileName)) return CString();
    return CString(m_szFileName + m_ofn.nFileOffset);
}
