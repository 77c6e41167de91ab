#include "app/AboutDlg.h"
#include "app/SmallDialogs.h"
#include "res/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

CConnectCheckDlg::CConnectCheckDlg(CWnd* parent) : CDialog(IDD_CONNECT_CHECK, parent) {}

CCompleteDlg::CCompleteDlg(CWnd* parent) : CDialog(IDD_COMPLETE, parent) {}

void CCompleteDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Check(pDX, IDC_RUN_CHECK, m_bRun);
}
