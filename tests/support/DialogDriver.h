#pragma once
// Drives dialogs that run their modal loop on the test's main thread from a
// second thread, through the same messages a user's input produces.
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// Waits for a visible top-level window of `threadId` whose caption is
// `caption` (CP932 bytes) or, with a null caption, any visible dialog that
// is not `except`. Returns null after `timeoutMs`.
HWND WaitForThreadWindow(DWORD threadId, const char* caption, DWORD timeoutMs = 10000, HWND except = nullptr);

// The visible dialogs (class #32770) of `threadId`, in any process.
std::vector<HWND> VisibleThreadDialogs(DWORD threadId);

// Waits for a visible dialog of `threadId` for which `match` is true; null
// after `timeoutMs`.
HWND WaitForThreadDialog(DWORD threadId, const std::function<bool(HWND)>& match, DWORD timeoutMs = 15000);

// Waits until `window` is destroyed or hidden; false after `timeoutMs`.
bool WaitUntilClosed(HWND window, DWORD timeoutMs = 10000);

// A click on a dialog's button, as the mouse produces it.
void ClickButton(HWND dialog, int controlId);

// A key pressed and released in the window that has the keyboard focus in
// `dialog`'s thread (the dialog itself when none has).
void PressKey(HWND dialog, UINT virtualKey);

// The close box of the window's caption.
void CloseWithCaptionButton(HWND window);

// The text of a window or control, as CP932 bytes.
std::string WindowText(HWND window);

// The text of a message box's message (its static control 0xFFFF).
std::string MessageBoxText(HWND messageBox);

// Ends every dialog of `threadId` with IDCANCEL, so that a test that went
// wrong cannot leave a modal loop running.
void CancelAllDialogs(DWORD threadId);

// Runs `script` on its own thread while the calling thread runs a modal
// loop; joins it on destruction. If the script has not finished when the
// modal loop ended, the destructor still waits for it.
class DialogScript {
public:
    explicit DialogScript(std::function<void()> script);
    ~DialogScript();
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;

    static DWORD MainThread() { return s_mainThread; }

private:
    std::thread m_thread;
    static DWORD s_mainThread;
};
