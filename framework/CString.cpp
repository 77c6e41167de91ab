#include "framework/CString.h"

#include <cstdarg>
#include <cstdio>

void CString::Format(const char* format, ...)
{
    if (!format) {
        Assign(nullptr, 0);
        return;
    }
    va_list args;
    va_start(args, format);
    // The system C runtime's own formatting: measure, then write.
    const int length = _vscprintf(format, args);
    va_end(args);
    if (length <= 0) {
        Assign(nullptr, 0);
        return;
    }
    char* buffer = GetBuffer(length);
    va_start(args, format);
    _vsnprintf(buffer, static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    ReleaseBuffer(length);
}
