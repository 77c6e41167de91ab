#pragma once
// Captures what the process sends to the debugger output: OutputDebugStringA
// raises an exception carrying the text, which a vectored handler sees.
#include <windows.h>

#include <string>
#include <vector>

class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    bool installed() const { return m_handler != nullptr; }
    // Every text output since the capture started (or was cleared), in order.
    const std::vector<std::string>& lines() const { return m_lines; }
    void clear() { m_lines.clear(); }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);

    void* m_handler;
    std::vector<std::string> m_lines;
    static DebugOutputCapture* s_active;
};
