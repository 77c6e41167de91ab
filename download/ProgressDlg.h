#pragma once
// The modal dialog that runs one download on a worker thread.
#include <memory>

#include "download/AttachmentServices.h"
#include "download/HttpDownloader.h"
#include "download/ProgressStatus.h"
#include "framework/CDialog.h"
#include "framework/CHandle.h"
#include "framework/ComRef.h"
#include "framework/CProgressCtrl.h"
#include "framework/CStringW.h"

struct ITaskbarList3;
struct IAccPropServices;

// The status line above the bar, and the label that names the bar for
// screen readers; made at run time, so their ids are here and not in the
// resources.
constexpr int IDC_DOWNLOAD_STATUS = 1100;
constexpr int IDC_PROGRESS_LABEL = 1101;

// Shows the system's prompt for the proxy's user name and password, owned by
// `hWnd`, to the worker of `downloader` that waits for it, and hands the
// answer back; nothing when no worker waits.
void ShowProxyPrompt(HWND hWnd, CHttpDownloader& downloader);

// Starts the worker, shows its percentages and lets the user cancel. DoModal
// returns IDOK only when the file arrived whole and Windows' Attachment
// Services kept it, IDCANCEL after a cancel or any failure (failures, and a
// file that Windows or the anti-virus blocked, are reported in a message box
// first).
class CProgressDlg : public CDialog {
public:
    explicit CProgressDlg(CWnd* parent = nullptr, const DownloadSettings& settings = DownloadSettings());
    ~CProgressDlg() override;

private:
    // Owned jointly with the worker thread, which may outlive this dialog.
    const std::shared_ptr<CDownloadJob> m_pJob;

public:
    // The target, set before DoModal. It is the worker's own copy, which it
    // reads for the whole transfer; a path of MAX_PATH UTF-16 units or more
    // is reported as the file error, never cut.
    CStringW& m_strPath;

protected:
    CHandle m_hThread;
    CHttpDownloader& m_downloader;
    DownloadResult& m_nResult;
    CProgressCtrl m_progress;

    INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnTimer(UINT_PTR timerId) override;
    void DoDataExchange(CDataExchange* pDX) override;

private:
    void ShowNewProgress();
    void ShowProgressOnTaskbarButton();
    void OnDownloadFinished(DownloadResult result);
    void OnAttachmentChecked(AttachmentVerdict verdict);
    void OnProxyPrompt();
    void StartWorker();
    void EndDownload(DownloadResult result);
    void StopNotifications();
    void OnTaskbarButtonCreated();
    void ReleaseTaskbarButton();
    void CreateStatusLine();
    void NameProgressBar();
    void ShowStatus(bool bNow);
    void SetStatus(const char* text, bool bAnnounce);
    void ShowPercentInTitle();
    void SetTaskbarState(int state);

    LONG m_nProgressShown = 0;  // of the worker's recorded percentages
    LONG m_nPercentShown = 0;   // the last of them, for the task-bar button
    bool m_bEnded = false;
    // The shell's progress on the dialog's task-bar button; null until the
    // shell has made the button, and where the shell offers none.
    ComRef<ITaskbarList3> m_pTaskbarList;
    UINT m_nTaskbarButtonCreated = 0;

    // The status line: what it says, when it last changed for the bytes,
    // and the state of the transfer it last told of.
    HWND m_hWndStatus = nullptr;
    CString m_strStatus;
    CTransferRate m_rate;
    DWORD m_dwStatusTick = 0;
    DWORD m_dwResumedTick = 0;
    LONG m_nRetryShown = 0;
    bool m_bResumedShown = false;
    bool m_bProxyPromptShown = false;
    // After the scan has begun or the transfer failed, the line stays.
    bool m_bStatusFinal = false;
    // The template's caption, which the title keeps after the percentage.
    CStringW m_strCaption;
    LONG m_nTitlePercent = -1;
    // Annotations of the bar and the status line for screen readers; null
    // where the system offers none.
    ComRef<IAccPropServices> m_pAccProps;
};
