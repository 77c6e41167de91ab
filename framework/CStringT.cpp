#include "framework/CStringT.h"

#include <cstring>

namespace {

template <typename TChar>
int LengthOf(const TChar* text)
{
    const TChar* end = text;
    while (*end) ++end;
    return static_cast<int>(end - text);
}

}  // namespace

template <typename TChar>
CStringT<TChar>::CStringT(const TChar* text)
{
    if (text) Assign(text, LengthOf(text));
}

template <typename TChar>
CStringT<TChar>::CStringT(const TChar* text, int length)
{
    Assign(text, length);
}

template <typename TChar>
CStringT<TChar>::CStringT(const CStringT& other)
{
    Assign(other.m_pszData, other.m_nLength);
}

template <typename TChar>
CStringT<TChar>& CStringT<TChar>::operator=(const CStringT& other)
{
    if (this != &other) Assign(other.m_pszData, other.m_nLength);
    return *this;
}

template <typename TChar>
CStringT<TChar>& CStringT<TChar>::operator=(const TChar* text)
{
    Assign(text, text ? LengthOf(text) : 0);
    return *this;
}

template <typename TChar>
CStringT<TChar>::~CStringT()
{
    delete[] m_pszData;
}

template <typename TChar>
void CStringT<TChar>::Assign(const TChar* text, int length)
{
    TChar* copy = nullptr;
    if (text && length > 0) {
        copy = new TChar[length + 1];
        std::memcpy(copy, text, static_cast<size_t>(length) * sizeof(TChar));
        copy[length] = TChar();
    } else {
        length = 0;
    }
    delete[] m_pszData;
    m_pszData = copy;
    m_nLength = length;
}

template <typename TChar>
TChar* CStringT<TChar>::GetBuffer(int length)
{
    TChar* buffer = new TChar[length + 1];
    const int kept = m_nLength < length ? m_nLength : length;
    std::memcpy(buffer, GetString(), (static_cast<size_t>(kept) + 1) * sizeof(TChar));
    buffer[length] = TChar();
    delete[] m_pszData;
    m_pszData = buffer;
    return buffer;
}

template <typename TChar>
void CStringT<TChar>::ReleaseBuffer(int length)
{
    if (!m_pszData) return;
    m_nLength = length < 0 ? LengthOf(m_pszData) : length;
    m_pszData[m_nLength] = TChar();
}

template class CStringT<char>;
template class CStringT<wchar_t>;
