#pragma once
// 8-bit text in the ANSI code page, with MFC's printf-style Format.
#include "framework/CStringT.h"

class CString : public CStringT<char> {
public:
    using CStringT<char>::CStringT;
    using CStringT<char>::operator=;
    CString() = default;

    // Replaces the contents with printf-style formatted text of any length.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
