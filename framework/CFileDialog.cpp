#include "framework/CFileDialog.h"

#include <cwchar>
#include <memory>

#include "framework/CDialog.h"

CStringW ConvertFilterString(const char* filter, UINT codePage)
{
    if (!filter) return CStringW();
    const CWideText text(filter, codePage);
    const wchar_t* wide = text;
    const int length = static_cast<int>(std::wcslen(wide));
    // Two more characters at most: the list ends with two zeros whether or
    // not the text ended "||".
    std::unique_ptr<wchar_t[]> list(new wchar_t[length + 2]);
    int used = 0;
    for (int i = 0; i < length; ++i) list[used++] = wide[i] == L'|' ? L'\0' : wide[i];
    while (used < 2 || list[used - 1] != L'\0' || list[used - 2] != L'\0') list[used++] = L'\0';
    return CStringW(list.get(), used);
}

CFileDialog::CFileDialog(const char* defaultExtension, const char* fileName, DWORD flags, const char* filter,
                         CWnd* parent)
    : m_pParentWnd(parent)
{
    m_ofn.lStructSize = sizeof m_ofn;
    m_ofn.lpstrFile = m_pszFileName.get();
    m_ofn.nMaxFile = FILE_NAME_BUFFER_SIZE;
    m_ofn.Flags = flags | OFN_EXPLORER;
    if (defaultExtension) {
        m_defaultExtension = CWideText(defaultExtension, PROGRAM_TEXT_CODE_PAGE);
        m_ofn.lpstrDefExt = m_defaultExtension;
    }
    if (fileName) {
        // Offered only whole: a cut name could end in half a surrogate pair.
        const CWideText name(fileName, PROGRAM_TEXT_CODE_PAGE);
        if (std::wcslen(name) < MAX_PATH) std::wcscpy(m_pszFileName.get(), name);
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
    return ::GetSaveFileNameW(&m_ofn) ? IDOK : IDCANCEL;
}

CStringW CFileDialog::GetPathName() const
{
    return CStringW(m_pszFileName.get());
}

CStringW CFileDialog::GetFileName() const
{
    if (m_ofn.nFileOffset >= std::wcslen(m_pszFileName.get())) return CStringW();
    return CStringW(m_pszFileName.get() + m_ofn.nFileOffset);
}
