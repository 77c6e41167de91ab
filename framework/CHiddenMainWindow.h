#pragma once
// The rules that follow from a hidden owner. They live with the window
// classes because every dialog and message box of the framework must follow
// them whenever its owner is hidden, whichever command hid it; the
// application decides only when to hide its main window and when to show it
// again (app/DownloadCommand.cpp).
#include <windows.h>

// The application's main window hidden while a command's own windows stand in
// for it (the main dialog during a download), and every rule that follows
// from a hidden owner: the windows it would own get task-bar buttons of their
// own and ask for the foreground, and message boxes go unowned.
class CHiddenMainWindow {
public:
    // Hides the main window once the first window that stands in for it is on
    // screen: hidden while it is the active window, it would hand the
    // foreground to another program. The control with the focus is kept.
    CHiddenMainWindow();
    // Leaves the window as it is: a command that ends the program keeps it
    // hidden to the end.
    ~CHiddenMainWindow();
    CHiddenMainWindow(const CHiddenMainWindow&) = delete;
    CHiddenMainWindow& operator=(const CHiddenMainWindow&) = delete;

    // Shows the main window again, active, in front and with the focus back.
    // Windows lets a program take the foreground back only in some cases, so
    // it is shown while another of the program's windows is still on screen
    // (CDialog::ShowMainWindowOnEnd): that window's end then activates it.
    void Show();

    // Whether `owner` is hidden, or is about to be, so that the windows it owns
    // stand in for it and follow these rules.
    static bool IsHidden(HWND owner);
    // For a window that stands in for a hidden owner: a task-bar button, set
    // before the window is first shown; once it is shown, the main window is
    // hidden behind it and it asks for the foreground.
    static void GiveTaskbarButton(HWND window);
    static void OnStandInShown(HWND window);
    // The owner and type of a message box that would be owned by `owner`.
    static HWND MessageBoxOwner(HWND owner, UINT& type);

    // Brings the program's `window` to the front where Windows allows it, and
    // otherwise flashes its task-bar button.
    static void ComeForward(HWND window);

private:
    friend class CDialog;
    static void ShowBehind();

    HWND m_hWnd;
    HWND m_hWndFocus;
    static CHiddenMainWindow* s_pCurrent;
};
