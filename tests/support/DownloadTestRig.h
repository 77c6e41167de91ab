#pragma once
// Shared by the download suites: a folder of the build per test, a
// loopback server routed in as the download host, and the worker on a
// thread of its own.
// The server's header brings winsock2.h, which must come before windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/HttpDownloader.h"
#include "framework/CHandle.h"
#include "tests/support/ImportPatch.h"

// An empty folder under the build folder for the running test (created or
// emptied), as a Windows path without a trailing backslash. `subfolder`
// (CP932 bytes) names a folder inside it to create as well.
std::string TestFolder(const char* subfolder = nullptr);

// Names of the files in `folder`.
std::vector<std::string> FilesIn(const std::string& folder);

bool FileExists(const std::string& path);
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& contents);

// The percentages `downloader` has recorded so far, in order: what the
// progress bar steps through.
std::vector<unsigned long long> RecordedProgress(CHttpDownloader& downloader);

// `downloader.Download` for the fixed host and object on a thread of its own.
class DownloadThread {
public:
    DownloadThread(CHttpDownloader& downloader, const std::string& path);
    ~DownloadThread();
    DownloadThread(const DownloadThread&) = delete;
    DownloadThread& operator=(const DownloadThread&) = delete;

    // Dispatches the calling thread's messages until the thread has ended;
    // false after `timeoutMs`.
    bool Wait(DWORD timeoutMs = 60000);
    // Dispatches them until the worker has posted WM_DOWNLOAD_FINISHED to
    // the window this object attached: the result it carries, 99 after `timeoutMs`.
    DownloadResult WaitForFinishedMessage(DWORD timeoutMs);

    DownloadResult m_nResult = 99;
    DownloadResult m_nPostedResult = 99;

private:
    static DWORD WINAPI Run(LPVOID parameter);
    static LRESULT CALLBACK NotifyWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hWndNotify = nullptr;

    CHttpDownloader& m_downloader;
    std::string m_path;
    CHandle m_hThread;
};

// Watches the worker's reads while it lives.
class StallWatch {
public:
    StallWatch();
    // True once the worker asks for more after the first 65,536 bytes of a
    // stalled body have all reached it: it then waits in that read (or in
    // the query for what has arrived, which comes before it).
    bool WorkerWaitsPastStall();

private:
    ImportPatch m_read;
    ImportPatch m_query;
};

// Runs a download to its end on a thread of its own.
DownloadResult RunDownload(CHttpDownloader& downloader, const std::string& path);

// Dispatches the calling thread's messages until `done` returns true; false
// after `timeoutMs`.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// Dispatches the calling thread's messages until `handle` is signalled.
bool WaitPumpingMessages(HANDLE handle, DWORD timeoutMs);

// Whether `progress` rises, each value once, to `last`: what the bar shows
// for a body read in pieces of whatever size has arrived.
bool RisesTo(unsigned long long last, const std::vector<unsigned long long>& progress);

// A loopback server that requests for the fixed download host reach, and
// an empty folder of the build for the running test, with the path of the
// installer in it.
class LoopbackDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start());
        m_route = std::make_unique<ProxyRoute>(m_server.Port());
        m_folder = TestFolder();
        m_target = m_folder + "\\" + INSTALLER_FILE_NAME;
    }

    LoopbackHttpServer m_server;
    std::unique_ptr<ProxyRoute> m_route;
    std::string m_folder;
    std::string m_target;
};
