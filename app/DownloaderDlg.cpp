#include "app/DownloaderDlg.h"

#include "app/AboutDlg.h"
#include "framework/CPaintDC.h"
#include "framework/CWinApp.h"
#include "res/resource.h"

CDownloaderDlg::CDownloaderDlg(CWnd* parent) : CDialog(IDD_DOWNLOADER_DIALOG, parent)
{
    m_hIcon = ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

INT_PTR CDownloaderDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_SYSCOMMAND:
            return OnSysCommand(static_cast<UINT>(wParam), lParam);
        case WM_PAINT:
            return OnPaint();
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CDownloaderDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    // The same icon serves as the big and the small one.
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    return TRUE;
}

BOOL CDownloaderDlg::OnButtonClicked(UINT buttonId)
{
    if (buttonId == IDC_DOWNLOAD) {
        OnDownload();
        return TRUE;
    }
    return CDialog::OnButtonClicked(buttonId);
}

BOOL CDownloaderDlg::OnSysCommand(UINT commandId, LPARAM)
{
    // 0x0010 is the about command's slot; the system menu itself has no
    // such entry, so only a sent WM_SYSCOMMAND opens the box.
    if ((commandId & 0xFFF0) == 0x0010) {
        CAboutDlg about;
        about.DoModal();
        return TRUE;
    }
    return FALSE;
}

POINT MinimisedIconPosition(const RECT& client, int iconWidth, int iconHeight)
{
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

BOOL CDownloaderDlg::OnPaint()
{
    if (!IsIconic()) return FALSE;

    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    RECT client;
    GetClientRect(&client);
    const POINT position = MinimisedIconPosition(client, ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
    ::DrawIcon(dc.GetSafeHdc(), position.x, position.y, m_hIcon);
    return TRUE;
}

HCURSOR CDownloaderDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}
