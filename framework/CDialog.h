#pragma once
// A modal dialog bound to its template. One static dialog procedure hands each
// message to the virtual WindowProc of the object that DoModal was called on.
// The dialog is a Unicode window, so that the template's texts reach the
// screen as they are, whatever the system's ANSI code page.
#include <exception>

#include "framework/CDataExchange.h"
#include "framework/CHiddenMainWindow.h"
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

// The window a framework window without an explicit parent belongs to: the
// last active popup of the application's main window, when there is one.
HWND AfxGetSafeOwner(CWnd* parent);
