#include "app/DownloaderDlg.h"

void CDownloaderDlg::OnDownload() {}
