#include "framework/CDialog.h"

#include <commctrl.h>

#include "framework/CWinApp.h"
#include "framework/DialogLayout.h"

namespace {

// The progress bar class must be registered before a template that uses it
// is instantiated. Registering again is harmless and cheap.
void EnsureCommonControls()
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
}

DialogTemplateInfo LoadTemplateInfo(HINSTANCE instance, UINT templateId)
{
    HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (!resource) return {};
    HGLOBAL loaded = ::LoadResource(instance, resource);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    return ReadDialogTemplateInfo(data, data ? ::SizeofResource(instance, resource) : 0);
}

}  // namespace

HWND AfxGetSafeOwner(CWnd* parent)
{
    HWND owner = parent ? parent->m_hWnd : nullptr;
    if (!owner) {
        CWnd* mainWindow = AfxGetMainWnd();
        if (mainWindow && mainWindow->m_hWnd && ::IsWindow(mainWindow->m_hWnd))
            owner = ::GetLastActivePopup(mainWindow->m_hWnd);
    }
    // A popup cannot be owned by a child window.
    while (owner && (::GetWindowLongPtrW(owner, GWL_STYLE) & WS_CHILD)) owner = ::GetParent(owner);
    return owner;
}

HWND CDialog::FindOwner() const
{
    HWND owner = AfxGetSafeOwner(m_pParentWnd);
    return owner == m_hWnd ? nullptr : owner;
}

INT_PTR CDialog::DoModal()
{
    EnsureCommonControls();
    HINSTANCE instance = AfxGetResourceHandle();
    m_bCentre = ShouldCentreDialog(LoadTemplateInfo(instance, m_nIDTemplate));
    m_pendingException = nullptr;
    const HWND owner = FindOwner();
    m_bOwnerHidden = CHiddenMainWindow::IsHidden(owner);

    // DialogBoxParam disables the owner for the modal loop and enables it
    // again before returning, as MFC's own modal loop does.
    const INT_PTR result =
        ::DialogBoxParamW(instance, MAKEINTRESOURCEW(m_nIDTemplate), owner, DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    if (m_pendingException) {
        std::exception_ptr pending = m_pendingException;
        m_pendingException = nullptr;
        std::rethrow_exception(pending);
    }
    return result;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* dialog;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        dialog->m_hWnd = hWnd;
    } else {
        dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    }
    if (!dialog || dialog->m_pendingException) return FALSE;
    if (message == WM_WINDOWPOSCHANGED && dialog->m_bOwnerHidden &&
        (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW))
        CHiddenMainWindow::OnStandInShown(hWnd);

    // No C++ exception may unwind through the system's dialog code: it is
    // kept, the dialog ends, and DoModal rethrows it to its caller.
    try {
        const INT_PTR result = dialog->WindowProc(message, wParam, lParam);
        if (message == WM_INITDIALOG) {
            dialog->CentreIfTemplateAsks();
            if (dialog->m_bOwnerHidden) CHiddenMainWindow::GiveTaskbarButton(hWnd);
        }
        return result;
    } catch (...) {
        dialog->m_pendingException = std::current_exception();
        ::EndDialog(hWnd, -1);
        return TRUE;
    }
}

void CDialog::CentreIfTemplateAsks()
{
    if (!m_bCentre) return;
    RECT window;
    ::GetWindowRect(m_hWnd, &window);

    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    const bool overOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);
    RECT ownerRect{};
    if (overOwner) ::GetWindowRect(owner, &ownerRect);

    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(overOwner ? owner : m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);

    const POINT position = CentredPosition(window, overOwner ? &ownerRect : nullptr, monitor.rcWork);
    ::SetWindowPos(m_hWnd, nullptr, position.x, position.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return OnCommand(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam));
        case WM_TIMER:
            OnTimer(wParam);
            return TRUE;
    }
    return FALSE;
}

BOOL CDialog::OnCommand(UINT code, UINT itemId, HWND)
{
    return code == BN_CLICKED && OnButtonClicked(itemId);
}

BOOL CDialog::OnButtonClicked(UINT buttonId)
{
    switch (buttonId) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        case ID_HELP:
            if (CWinApp* app = AfxGetApp()) app->OnHelp();
            return TRUE;
    }
    return FALSE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::OnTimer(UINT_PTR) {}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange exchange(this, saveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
}

void CDialog::EndDialog(int result)
{
    if (m_bShowMainWindowOnEnd && result == m_nShowMainWindowResult) CHiddenMainWindow::ShowBehind();
    ::EndDialog(m_hWnd, result);
}

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
