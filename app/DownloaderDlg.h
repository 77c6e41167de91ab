#pragma once
#include "framework/CDialog.h"

// The main dialog: banner, welcome text, Download and Cancel. Its lifetime
// is the program's.
class CDownloaderDlg : public CDialog {
public:
    explicit CDownloaderDlg(CWnd* parent = nullptr);
    ~CDownloaderDlg() override;

    // At the system's icon sizes, which grow with the screen's DPI.
    HICON m_hIcon;
    HICON m_hSmallIcon;

private:
    BOOL m_bDownloadRunning = FALSE;  // the Download command is in progress
    // The banner at the screen's scale, when that is not 96 DPI, and its static.
    HBITMAP m_hScaledBanner = nullptr;
    HWND m_hWndBanner = nullptr;

    void ScaleBannerToScreen();
    void ReleaseScaledBanner();

protected:
    INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    BOOL OnButtonClicked(UINT buttonId) override;

    // Dialog-procedure convention: TRUE when handled, FALSE for the default.
    BOOL OnSysCommand(UINT commandId, LPARAM lParam);
    BOOL OnPaint();
    HCURSOR OnQueryDragIcon();
    // The Download command: device check, Save As, download, completion.
    void OnDownload();
};

// Where the icon goes in a minimised window: centred in the client area,
// rounding as the platform's own dialogs do.
POINT MinimisedIconPosition(const RECT& client, int iconWidth, int iconHeight);

// The dialog manager's horizontal base unit (pixels per 4 dialog units) for
// a dialog in `font`, given for a screen of `fontDpi`, laid out on a screen
// of `dpi`: its average letter width, as the dialog manager measures it.
int DialogBaseUnitX(LOGFONTW font, int fontDpi, int dpi);

// Where the banner is drawn from its control's top-left corner. At 96 DPI
// the bitmap is shown at its own size; the dialog grows with its base unit,
// from `baseUnitXAt96` to `baseUnitX`, and the banner grows by the same
// ratio, so it covers the same share of the dialog at any DPI.
RECT BannerRect(POINT topLeft, SIZE bitmap, int baseUnitX, int baseUnitXAt96);

// The device gate of the Download command: checks for a supported camera
// and, while there is none, shows the connection check. False when the user
// gave up (Cancel) or the check could not be shown.
bool WaitForSupportedDevice();
