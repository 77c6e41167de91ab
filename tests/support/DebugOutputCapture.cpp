#include "tests/support/DebugOutputCapture.h"

namespace {

// OutputDebugStringA raises this exception with the text length and the
// text pointer as its first two parameters; the wide form may follow it.
constexpr DWORD kDebugPrintException = 0x40010006;

}  // namespace

DebugOutputCapture* DebugOutputCapture::s_active = nullptr;

DebugOutputCapture::DebugOutputCapture()
{
    s_active = this;
    m_handler = AddVectoredExceptionHandler(1, Handler);
}

DebugOutputCapture::~DebugOutputCapture()
{
    if (m_handler) RemoveVectoredExceptionHandler(m_handler);
    s_active = nullptr;
}

LONG CALLBACK DebugOutputCapture::Handler(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (s_active && record->ExceptionCode == kDebugPrintException && record->NumberParameters >= 2) {
        size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        // The length counts the terminator.
        if (length > 0 && text[length - 1] == '\0') --length;
        s_active->m_lines.emplace_back(text, length);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
