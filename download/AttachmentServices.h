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
// when the file is gone afterwards: Attachment Services delete a file that
// Windows' policy or the anti-virus refuses. Where they are not available or
// fail otherwise, the mark is written directly, and only on a volume with
// named streams. Needs COM on the thread, in a single-threaded apartment.
AttachmentVerdict CheckWithAttachmentServices(LPCWSTR path, LPCWSTR sourceUrl);

// Runs CheckWithAttachmentServices for the downloaded installer at `path`,
// which came from `sourceUrl` (redirects followed), on a thread of its own, so
// that `window` stays responsive while the anti-virus scans, and posts
// WM_DOWNLOAD_SCANNED to `window` when it has ended.
void StartAttachmentCheck(LPCWSTR path, LPCSTR sourceUrl, HWND window);
