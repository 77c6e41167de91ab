#pragma once
// Fixed data of the installer download, shared by the Download command, the
// worker and the progress dialog.
#include <windows.h>

// The maker's download server. A reserved name, so that no build can reach a
// third party's server by accident; the real host replaces this constant.
constexpr char DOWNLOAD_SERVER_HOST[] = "download.zembra.example";

// The installer is always requested under this name, and offered as the
// default local name.
constexpr char INSTALLER_FILE_NAME[] = "QuilloCamKitSetup121.exe";
constexpr char INSTALLER_OBJECT_FOLDER[] = "support/download/peripheral/pccamera/camvista/soft/";
constexpr char DOWNLOAD_USER_AGENT[] = "ZEMBRA Downloader";
// Connect and receive time-outs of a transfer.
constexpr DWORD NETWORK_TIMEOUT_MS = 30000;
// The wait before taking up a dropped transfer again; doubled after each try
// that brings no new byte.
constexpr DWORD RETRY_FIRST_WAIT_MS = 1000;
// A transfer that has brought no byte for this long is given up, tries
// included: a try is started only while its wait fits, and its time-outs are
// cut to what is left until its first bytes come. The first time-out and one
// shortened try fit.
constexpr DWORD STALL_LIMIT_MS = 60000;

// Outcome of one transfer.
typedef int DownloadResult;
constexpr DownloadResult DOWNLOAD_SUCCEEDED = 0;
constexpr DownloadResult DOWNLOAD_NETWORK_ERROR = 1;  // an incomplete body included
constexpr DownloadResult DOWNLOAD_FILE_ERROR = 2;
constexpr DownloadResult DOWNLOAD_CANCELLED = -1;

// Posted by the worker thread to the progress dialog once the transfer has
// ended and its result is stored: wParam is the DownloadResult, lParam 0.
constexpr UINT WM_DOWNLOAD_FINISHED = WM_APP + 2;

// Posted by the worker thread to the progress dialog when a proxy asks for a
// user name and password; the dialog answers through
// CHttpDownloader::AnswerProxyPrompt. wParam and lParam are 0.
constexpr UINT WM_DOWNLOAD_PROXY_PROMPT = WM_APP + 3;
