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
