#pragma once
// A modal dialog bound to its template. One static dialog procedure hands each
// message to the virtual WindowProc of the object that DoModal was called on.
// The dialog is a Unicode window, so that the template's texts reach the
// screen as they are, whatever the system's ANSI code page.
#include <exception>

#include "framework/CDataExchange.h"
#include "framework/CWnd.h"

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Runs the modal loop; IDOK, IDCANCEL or the value given to EndDialog,
    // -1 when the dialog could not be created.
    virtual INT_PTR DoModal();

    // FALSE takes values from the members to the controls, TRUE the reverse.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    void EndDialog(int result);

    // For a dialog that stands in for the hidden main window: ending with
    // `result` shows the main window again first (CHiddenMainWindow).
    void ShowMainWindowOnEnd(int result)
    {
        m_nShowMainWindowResult = result;
        m_bShowMainWindowOnEnd = true;
    }

protected:
    // Dialog-procedure convention: TRUE when handled, FALSE for the dialog
    // manager's default processing (WM_INITDIALOG: TRUE sets the focus).
    virtual INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // WM_COMMAND, split once: the notification code, the control (or menu
    // item) and the control's window. Clicks go on to OnButtonClicked.
    virtual BOOL OnCommand(UINT code, UINT itemId, HWND control);
    // OK, Cancel and Help; a dialog adds its own buttons.
    virtual BOOL OnButtonClicked(UINT buttonId);
    virtual void OnTimer(UINT_PTR timerId);
    virtual void DoDataExchange(CDataExchange* pDX);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND FindOwner() const;
    void CentreIfTemplateAsks();

    bool m_bCentre = false;
    // The owner is hidden, or is to be hidden behind this dialog, while the
    // dialog runs (the main dialog during a download).
    bool m_bOwnerHidden = false;
    bool m_bShowMainWindowOnEnd = false;
    int m_nShowMainWindowResult = 0;
    std::exception_ptr m_pendingException;
};

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

// The window a framework window without an explicit parent belongs to: the
// last active popup of the application's main window, when there is one.
HWND AfxGetSafeOwner(CWnd* parent);
