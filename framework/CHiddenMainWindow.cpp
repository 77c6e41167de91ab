#include "framework/CHiddenMainWindow.h"

#include "framework/CWinApp.h"

CHiddenMainWindow* CHiddenMainWindow::s_pCurrent = nullptr;

CHiddenMainWindow::CHiddenMainWindow()
{
    CWnd* mainWindow = AfxGetMainWnd();
    m_hWnd = mainWindow ? mainWindow->m_hWnd : nullptr;
    m_hWndFocus = ::GetFocus();
    if (!m_hWnd) return;
    if (!::IsChild(m_hWnd, m_hWndFocus)) m_hWndFocus = nullptr;
    s_pCurrent = this;
}

CHiddenMainWindow::~CHiddenMainWindow()
{
    if (s_pCurrent == this) s_pCurrent = nullptr;
}

// Without activation: the window is still disabled while the dialog that
// stands in for it ends, and that dialog's end activates its owner.
void CHiddenMainWindow::ShowBehind()
{
    if (s_pCurrent && ::IsWindow(s_pCurrent->m_hWnd)) ::ShowWindow(s_pCurrent->m_hWnd, SW_SHOWNA);
}

void CHiddenMainWindow::Show()
{
    if (!m_hWnd || !::IsWindow(m_hWnd)) return;
    ::ShowWindow(m_hWnd, ::IsWindowVisible(m_hWnd) ? SW_SHOW : SW_SHOWNORMAL);
    if (::GetForegroundWindow() != m_hWnd) ComeForward(m_hWnd);
    // The dialog manager's own way to move the focus, which also sets the
    // default button.
    if (m_hWndFocus && ::IsWindow(m_hWndFocus))
        ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_hWndFocus), TRUE);
}

bool CHiddenMainWindow::IsHidden(HWND owner)
{
    return owner && (!::IsWindowVisible(owner) || (s_pCurrent && owner == s_pCurrent->m_hWnd));
}

void CHiddenMainWindow::OnStandInShown(HWND window)
{
    if (s_pCurrent && ::IsWindowVisible(s_pCurrent->m_hWnd)) ::ShowWindow(s_pCurrent->m_hWnd, SW_HIDE);
    ComeForward(window);
}

// A window owned by a hidden window has no task-bar button, so a user who
// switched to another program meanwhile would find nothing and think the
// program hung. Windows gives a visible top-level window a button when it is
// unowned or has WS_EX_APPWINDOW (and not WS_EX_TOOLWINDOW); the owner is
// kept, so that it stays disabled while the window is up.
void CHiddenMainWindow::GiveTaskbarButton(HWND window)
{
    const LONG_PTR exStyle = ::GetWindowLongPtrW(window, GWL_EXSTYLE);
    ::SetWindowLongPtrW(window, GWL_EXSTYLE, (exStyle | WS_EX_APPWINDOW) & ~static_cast<LONG_PTR>(WS_EX_TOOLWINDOW));
}

// Windows lets a program in the background take the foreground only in some
// cases; where it does not, the button flashes until the user comes to it.
void CHiddenMainWindow::ComeForward(HWND window)
{
    if (::SetForegroundWindow(window)) return;
    FLASHWINFO flash{sizeof flash, window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    ::FlashWindowEx(&flash);
}

// Unowned, a box has a task-bar button. Task-modal keeps the thread's windows
// disabled as an owner would be, and the box asks for the foreground.
HWND CHiddenMainWindow::MessageBoxOwner(HWND owner, UINT& type)
{
    if (!IsHidden(owner)) return owner;
    type |= MB_TASKMODAL | MB_SETFOREGROUND;
    return nullptr;
}
