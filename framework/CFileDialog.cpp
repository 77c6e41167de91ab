#include "framework/CFileDialog.h"

#include <cstring>

#include "framework/CDialog.h"

CString ConvertFilterString(const char* filter, UINT codePage)
{
    const int length = filter ? static_cast<int>(std::strlen(filter)) : 0;
    // Two more bytes at most: the list ends with two zero bytes whether or
    // not the text ended "||".
    CString result;
    char* list = result.GetBuffer(length + 2);
    int used = 0;
    for (int i = 0; i < length; ++i) {
        if (::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(filter[i])) && filter[i + 1]) {
            list[used++] = filter[i++];
            list[used++] = filter[i];
        } else {
            list[used++] = filter[i] == '|' ? '\0' : filter[i];
        }
    }
    if (filter) {
        while (used < 2 || list[used - 1] != '\0' || list[used - 2] != '\0') list[used++] = '\0';
    }
    result.ReleaseBuffer(used);
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
        m_ofn.lpstrDefExt = m_defaultExtension;
    }
    if (fileName) {
        std::strncpy(m_szFileName, fileName, MAX_PATH - 1);
        m_szFileName[MAX_PATH - 1] = '\0';
    }
    if (filter) {
        m_filter = ConvertFilterString(filter);
        m_ofn.lpstrFilter = m_filter;
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
