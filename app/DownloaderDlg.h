#pragma once
#include "framework/CDialog.h"

// The main dialog: banner, welcome text, Download and Cancel. Its lifetime
// is the program's.
class CDownloaderDlg : public CDialog {
public:
    explicit CDownloaderDlg(CWnd* parent = nullptr);

    HICON m_hIcon;

private:
    BOOL m_bDownloadRunning = FALSE;  // the Download command is in progress

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

// The device gate of the Download command: checks for a supported camera
// and, while there is none, shows the connection check. False when the user
// gave up (Cancel) or the check could not be shown.
bool WaitForSupportedDevice();

// Whether the downloaded installer at `path` may be started: its signature
// confirms the publisher, or the user says so. A file that Windows refuses is
// reported and never offered.
bool MayRunInstaller(LPCWSTR path);

// Starts the installer, reporting a failure other than a declined elevation
// prompt.
void RunInstaller(HWND owner, LPCWSTR path);
