#include "tests/support/DialogDriver.h"

#include <cstring>
#include <vector>

DWORD DialogScript::s_mainThread = 0;

namespace {

struct Search {
    const char* caption;
    HWND except;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<Search*>(lParam);
    if (window == search->except || !::IsWindowVisible(window)) return TRUE;
    if (search->caption) {
        if (WindowText(window) != search->caption) return TRUE;
    } else {
        char className[64] = {};
        ::GetClassNameA(window, className, sizeof className);
        if (std::strcmp(className, "#32770") != 0) return TRUE;
    }
    search->found = window;
    return FALSE;
}

// A callback of the system's, so a named CALLBACK function: a lambda has the
// compiler's calling convention, which on 32-bit Windows is not stdcall.
BOOL CALLBACK CollectVisibleDialog(HWND window, LPARAM list)
{
    char className[16] = {};
    ::GetClassNameA(window, className, sizeof className);
    if (::IsWindowVisible(window) && std::strcmp(className, "#32770") == 0)
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

}  // namespace

HWND WaitForThreadWindow(DWORD threadId, const char* caption, DWORD timeoutMs, HWND except)
{
    const DWORD start = ::GetTickCount();
    do {
        Search search{caption, except, nullptr};
        ::EnumThreadWindows(threadId, MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        ::Sleep(20);
    } while (::GetTickCount() - start < timeoutMs);
    return nullptr;
}

std::vector<HWND> VisibleThreadDialogs(DWORD threadId)
{
    std::vector<HWND> dialogs;
    ::EnumThreadWindows(threadId, CollectVisibleDialog, reinterpret_cast<LPARAM>(&dialogs));
    return dialogs;
}

HWND WaitForThreadDialog(DWORD threadId, const std::function<bool(HWND)>& match, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    do {
        for (HWND dialog : VisibleThreadDialogs(threadId))
            if (match(dialog)) return dialog;
        ::Sleep(20);
    } while (::GetTickCount() - start < timeoutMs);
    return nullptr;
}

bool WaitUntilClosed(HWND window, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    while (::IsWindow(window) && ::IsWindowVisible(window)) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
    return true;
}

void ClickButton(HWND dialog, int controlId)
{
    ::PostMessageA(::GetDlgItem(dialog, controlId), BM_CLICK, 0, 0);
}

void PressKey(HWND dialog, UINT virtualKey)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus)
        target = info.hwndFocus;
    const UINT scan = ::MapVirtualKeyA(virtualKey, 0);
    ::PostMessageA(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    ::PostMessageA(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void CloseWithCaptionButton(HWND window)
{
    ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::string WindowText(HWND window)
{
    const int length = ::GetWindowTextLengthA(window);
    std::vector<char> text(static_cast<size_t>(length) + 2);
    ::GetWindowTextA(window, text.data(), length + 1);
    return text.data();
}

std::string MessageBoxText(HWND messageBox)
{
    return WindowText(::GetDlgItem(messageBox, 0xFFFF));
}

void CancelAllDialogs(DWORD threadId)
{
    for (int round = 0; round < 20; ++round) {
        HWND dialog = WaitForThreadWindow(threadId, nullptr, 50);
        if (!dialog) return;
        ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        WaitUntilClosed(dialog, 2000);
    }
}

DialogScript::DialogScript(std::function<void()> script)
{
    s_mainThread = ::GetCurrentThreadId();
    m_thread = std::thread(std::move(script));
}

DialogScript::~DialogScript()
{
    m_thread.join();
}
