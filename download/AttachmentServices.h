#pragma once
// The downloaded installer handed to Windows' Attachment Services, as browsers
// hand their downloads: they mark it as coming from the Internet (the Mark of
// the Web, which SmartScreen and the anti-virus go by) and let the anti-virus
// scan it.
#include <windows.h>

enum class AttachmentVerdict { Kept, Blocked };

// Posted to the window given to StartAttachmentCheck once the check has
// ended: wParam is the AttachmentVerdict, lParam 0.
constexpr UINT WM_DOWNLOAD_SCANNED = WM_APP + 4;

// Marks and scans the file at `path`, downloaded from `sourceUrl`. Blocked
// when Windows' policy or the anti-virus refused the file, or when it is gone
// afterwards. Where Attachment Services are not available, the mark is written
// directly, and only on a volume with named streams. Needs COM on the thread.
AttachmentVerdict CheckWithAttachmentServices(LPCWSTR path, LPCWSTR sourceUrl);

// Runs CheckWithAttachmentServices for the downloaded installer at `path` on a
// thread of its own, so that `window` stays responsive while the anti-virus
// scans, and posts WM_DOWNLOAD_SCANNED to `window` when it has ended.
void StartAttachmentCheck(LPCWSTR path, HWND window);
