#pragma once
// Fixed data of the installer download, shared by the Download command, the
// worker and the progress dialog.
#include <windows.h>

// A reserved name, so that no build reaches a third party by accident; the
// real host replaces it.
constexpr char DOWNLOAD_SERVER_HOST[] = "download.zembra.example";
// Requested under this name whatever the local one, and offered as its default.
constexpr char INSTALLER_FILE_NAME[] = "QuilloCamKitSetup121.exe";
constexpr char INSTALLER_OBJECT_FOLDER[] = "support/download/peripheral/pccamera/camvista/soft/";
constexpr char DOWNLOAD_USER_AGENT[] = "ZEMBRA Downloader";
constexpr DWORD NETWORK_TIMEOUT_MS = 30000;
// Before the first new try after a drop; doubled after each try that brings
// nothing new.
constexpr DWORD RETRY_FIRST_WAIT_MS = 1000;
// The silence between the tries of a dropped transfer, the waits included,
// may add up to this, counted afresh whenever the body gets further than
// ever; then no new try starts, and a try's time-outs are cut to what is
// left of it. WinInet times each connect, send and receive on its own, so a
// try may overrun it by a few of those; time at the proxy's prompt does not
// count.
constexpr DWORD STALL_LIMIT_MS = 60000;

typedef int DownloadResult;
constexpr DownloadResult DOWNLOAD_SUCCEEDED = 0;
constexpr DownloadResult DOWNLOAD_NETWORK_ERROR = 1;  // an incomplete body included
constexpr DownloadResult DOWNLOAD_FILE_ERROR = 2;
constexpr DownloadResult DOWNLOAD_CANCELLED = -1;

// Posted by the worker once the result is known: wParam is the
// DownloadResult.
constexpr UINT WM_DOWNLOAD_FINISHED = WM_APP + 2;
// Posted by the worker when a proxy asks for a password: the dialog shows
// the prompt (ShowProxyPrompt) while the worker waits.
constexpr UINT WM_DOWNLOAD_PROXY_PROMPT = WM_APP + 3;
