#pragma once
// Dialog data exchange: moves values between dialog controls and members in
// the direction given by m_bSaveAndValidate.
#include "framework/CWnd.h"

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
};

// A check box and an integer: 0 clear, 1 ticked, 2 indeterminate.
void DDX_Check(CDataExchange* pDX, int controlId, int& value);

// Attaches `control` to the dialog item the first time the exchange runs.
void DDX_Control(CDataExchange* pDX, int controlId, CWnd& control);
