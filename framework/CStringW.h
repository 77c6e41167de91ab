#pragma once
// A UTF-16 string with the part of MFC's CStringW that the program uses:
// paths the user chooses travel in it, so that a folder any code page
// cannot name still arrives whole. It keeps its length, so it may hold zero
// characters (the file dialog's filter list does). It has no conversion from
// 8-bit text, so a path cannot pass through a code page by accident.
// Running out of memory throws, as the framework's allocator does.
#include <windows.h>

class CStringW {
public:
    CStringW() = default;
    CStringW(const wchar_t* text);
    CStringW(const wchar_t* text, int length);
    CStringW(const CStringW& other);
    CStringW& operator=(const CStringW& other);
    CStringW& operator=(const wchar_t* text);
    ~CStringW();

    int GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }
    const wchar_t* GetString() const { return m_pszData ? m_pszData : L""; }
    operator const wchar_t*() const { return GetString(); }

private:
    void Assign(const wchar_t* text, int length);

    wchar_t* m_pszData = nullptr;
    int m_nLength = 0;
};
