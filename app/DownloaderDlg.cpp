#include "app/DownloaderDlg.h"

#include "app/AboutDlg.h"
#include "framework/CPaintDC.h"
#include "framework/CWinApp.h"
#include "res/resource.h"

namespace {

HICON LoadApplicationIcon(int widthMetric, int heightMetric)
{
    return static_cast<HICON>(::LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                           ::GetSystemMetrics(widthMetric), ::GetSystemMetrics(heightMetric), 0));
}

}  // namespace

CDownloaderDlg::CDownloaderDlg(CWnd* parent) : CDialog(IDD_DOWNLOADER_DIALOG, parent)
{
    m_hIcon = LoadApplicationIcon(SM_CXICON, SM_CYICON);
    m_hSmallIcon = LoadApplicationIcon(SM_CXSMICON, SM_CYSMICON);
}

CDownloaderDlg::~CDownloaderDlg()
{
    if (m_hIcon) ::DestroyIcon(m_hIcon);
    if (m_hSmallIcon) ::DestroyIcon(m_hSmallIcon);
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
        case WM_DESTROY:
            ReleaseScaledBanner();
            break;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CDownloaderDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
    ScaleBannerToScreen();
    return TRUE;
}

int DialogBaseUnitX(LOGFONTW font, int fontDpi, int dpi)
{
    font.lfHeight = ::MulDiv(font.lfHeight, dpi, fontDpi);
    font.lfWidth = 0;
    HDC screen = ::GetDC(nullptr);
    HFONT made = ::CreateFontIndirectW(&font);
    const HGDIOBJ before = ::SelectObject(screen, made);
    SIZE letters{};
    ::GetTextExtentPoint32W(screen, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
    ::SelectObject(screen, before);
    ::DeleteObject(made);
    ::ReleaseDC(nullptr, screen);
    return (letters.cx / 26 + 1) / 2;
}

RECT BannerRect(POINT topLeft, SIZE bitmap, int baseUnitX, int baseUnitXAt96)
{
    return RECT{topLeft.x, topLeft.y, topLeft.x + ::MulDiv(bitmap.cx, baseUnitX, baseUnitXAt96),
                topLeft.y + ::MulDiv(bitmap.cy, baseUnitX, baseUnitXAt96)};
}

namespace {

// The banner is the dialog's one bitmap static.
HWND FindBannerStatic(HWND dialog)
{
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) return child;
    return nullptr;
}

// A copy of `original` stretched smoothly to `size`; null when it could not
// be made.
HBITMAP StretchedCopy(HBITMAP original, SIZE originalSize, SIZE size)
{
    HDC screen = ::GetDC(nullptr);
    HBITMAP scaled = ::CreateCompatibleBitmap(screen, size.cx, size.cy);
    HDC from = ::CreateCompatibleDC(screen), to = ::CreateCompatibleDC(screen);
    const HGDIOBJ fromBefore = ::SelectObject(from, original), toBefore = ::SelectObject(to, scaled);
    // HALFTONE averages the source pixels that meet in one target pixel; it
    // needs the brush origin set after the mode.
    ::SetStretchBltMode(to, HALFTONE);
    ::SetBrushOrgEx(to, 0, 0, nullptr);
    const BOOL drawn = ::StretchBlt(to, 0, 0, size.cx, size.cy, from, 0, 0, originalSize.cx, originalSize.cy, SRCCOPY);
    ::SelectObject(from, fromBefore);
    ::SelectObject(to, toBefore);
    ::DeleteDC(from);
    ::DeleteDC(to);
    ::ReleaseDC(nullptr, screen);
    if (scaled && !drawn) {
        ::DeleteObject(scaled);
        scaled = nullptr;
    }
    return scaled;
}

}  // namespace

// The banner's static shows its bitmap at the bitmap's own size, which
// suits 96 DPI only; on any other screen it gets a copy stretched to the
// dialog's scale, and takes that copy's size.
void CDownloaderDlg::ScaleBannerToScreen()
{
    HWND banner = FindBannerStatic(m_hWnd);
    if (!banner) return;
    const HBITMAP original = reinterpret_cast<HBITMAP>(::SendMessageW(banner, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP bitmap;
    if (!original || !::GetObjectW(original, sizeof bitmap, &bitmap)) return;

    RECT control;
    ::GetWindowRect(banner, &control);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&control), 2);
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)), sizeof font, &font);
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    const SIZE originalSize{bitmap.bmWidth, bitmap.bmHeight};
    const RECT target = BannerRect(POINT{control.left, control.top}, originalSize, DialogBaseUnitX(font, dpi, dpi),
                                   DialogBaseUnitX(font, dpi, 96));
    const SIZE size{target.right - target.left, target.bottom - target.top};
    if (size.cx == originalSize.cx && size.cy == originalSize.cy) return;
    HBITMAP scaled = StretchedCopy(original, originalSize, size);
    if (!scaled) return;
    // The static resizes itself to the new bitmap; the one it loaded from
    // the template is then ours to delete.
    ::DeleteObject(reinterpret_cast<HGDIOBJ>(
        ::SendMessageW(banner, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(scaled))));
    m_hScaledBanner = scaled;
    m_hWndBanner = banner;
}

// Taken back before the static goes, so that only this dialog deletes it,
// whatever a static does with its image when it is destroyed.
void CDownloaderDlg::ReleaseScaledBanner()
{
    if (!m_hScaledBanner) return;
    ::SendMessageW(m_hWndBanner, STM_SETIMAGE, IMAGE_BITMAP, 0);
    ::DeleteObject(m_hScaledBanner);
    m_hScaledBanner = nullptr;
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
