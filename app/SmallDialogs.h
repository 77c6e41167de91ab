#pragma once
#include "framework/CDialog.h"

// "No supported model is connected": Retry (IDOK) or Cancel (IDCANCEL).
class CConnectCheckDlg : public CDialog {
public:
    explicit CConnectCheckDlg(CWnd* parent = nullptr);
};

// "The download has completed", with the check box that asks to run the
// downloaded installer.
class CCompleteDlg : public CDialog {
public:
    explicit CCompleteDlg(CWnd* parent = nullptr);

    int m_bRun = 0;  // 1 when the box was ticked and the dialog ended with OK

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};
