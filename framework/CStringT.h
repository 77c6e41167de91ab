#pragma once
// The one string class of the framework, as in MFC: CString (8-bit text in
// the ANSI code page) and CStringW (UTF-16) are its two instances. It keeps
// its length, so it may hold zero characters (the file dialog's filter list
// does). Running out of memory throws, as the framework's allocator does.

template <typename TChar>
class CStringT {
public:
    CStringT() = default;
    CStringT(const TChar* text);
    CStringT(const TChar* text, int length);
    CStringT(const CStringT& other);
    CStringT& operator=(const CStringT& other);
    CStringT& operator=(const TChar* text);
    ~CStringT();

    // Room for `length` characters and a terminator, for a call that writes
    // the text itself; ReleaseBuffer then takes the length (-1: up to the
    // first zero character).
    TChar* GetBuffer(int length);
    void ReleaseBuffer(int length = -1);

    int GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }
    const TChar* GetString() const { return m_pszData ? m_pszData : EMPTY; }
    operator const TChar*() const { return GetString(); }

protected:
    void Assign(const TChar* text, int length);

private:
    static constexpr TChar EMPTY[1] = {};

    TChar* m_pszData = nullptr;
    int m_nLength = 0;
};

extern template class CStringT<char>;
extern template class CStringT<wchar_t>;
