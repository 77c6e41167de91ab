#include "framework/CDataExchange.h"

void DDX_Check(CDataExchange* pDX, int controlId, int& value)
{
    HWND dialog = pDX->m_pDlgWnd->m_hWnd;
    if (pDX->m_bSaveAndValidate) {
        const UINT state = ::IsDlgButtonChecked(dialog, controlId);
        value = state == BST_CHECKED ? 1 : state == BST_INDETERMINATE ? 2 : 0;
    } else {
        ::CheckDlgButton(dialog, controlId, value == 1 ? BST_CHECKED : value == 2 ? BST_INDETERMINATE : BST_UNCHECKED);
    }
}

void DDX_Control(CDataExchange* pDX, int controlId, CWnd& control)
{
    if (!control.m_hWnd) control.m_hWnd = pDX->m_pDlgWnd->GetDlgItem(controlId);
}
