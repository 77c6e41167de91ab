// Resource ids shared by the resource script and the code.
//   1          version record and manifest
//   1..8       images of the application icon
//   100..199   dialog templates, bitmaps, icons and strings
//   1000..1099 controls with a meaning in code
#pragma once

// Dialog templates
#define IDD_ABOUTBOX 100
#define IDD_DOWNLOADER_DIALOG 102
#define IDD_PROGRESS 129
#define IDD_COMPLETE 130
#define IDD_CONNECT_CHECK 134

// Icons, bitmaps and strings
#define IDS_ABOUTBOX 101
#define IDR_MAINFRAME 128
#define IDB_BANNER 131

// Controls
#define IDC_DOWNLOAD 1000
#define IDC_PROGRESS 1001
#define IDC_RUN_CHECK 1002

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
