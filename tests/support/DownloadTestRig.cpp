#include "tests/support/DownloadTestRig.h"

#include <gtest/gtest.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>

#include "download/ProgressDlg.h"
#include "framework/CWideText.h"

std::string TestFolder(const char* subfolder)
{
    std::string folder = "Z:" DOWNLOAD_TEST_ROOT;
    for (char& c : folder)
        if (c == '/') c = '\\';
    ::CreateDirectoryA(folder.c_str(), nullptr);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    folder += "\\";
    folder += test ? std::string(test->test_suite_name()) + "." + test->name() : "no-test";
    ::CreateDirectoryA(folder.c_str(), nullptr);

    // Left-overs of an earlier run: files, and one level of folders.
    for (const std::string& name : FilesIn(folder)) {
        const std::string path = folder + "\\" + name;
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::DeleteFileA(path.c_str())) {
            for (const std::string& inner : FilesIn(path)) {
                const std::string innerPath = path + "\\" + inner;
                ::SetFileAttributesA(innerPath.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(innerPath.c_str());
            }
            ::RemoveDirectoryA(path.c_str());
        }
    }
    if (subfolder) {
        folder += "\\";
        folder += subfolder;
        ::CreateDirectoryA(folder.c_str(), nullptr);
    }
    return folder;
}

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
}

bool FileExists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string contents;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return contents;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, got);
    std::fclose(file);
    return contents;
}

void WriteWholeFile(const std::string& path, const std::string& contents)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file) << path;
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::fclose(file);
}

std::vector<unsigned long long> RecordedProgress(CHttpDownloader& downloader)
{
    std::vector<unsigned long long> values;
    for (LONG i = 0; i < downloader.ProgressCount(); ++i) values.push_back(downloader.ProgressAt(i));
    return values;
}

DownloadThread::DownloadThread(CHttpDownloader& downloader, const std::string& path)
    : m_downloader(downloader), m_path(path)
{
    // A message-only window of the calling thread stands in for the dialog.
    m_hWndNotify = ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrA(m_hWndNotify, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrA(m_hWndNotify, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NotifyWindowProc));
    downloader.AttachNotifyWindow(m_hWndNotify);
    m_hThread.Attach(::CreateThread(nullptr, 0, Run, this, 0, nullptr));
}

DownloadThread::~DownloadThread()
{
    if (!m_hThread.IsValid()) return;
    Wait(INFINITE);
    ::DestroyWindow(m_hWndNotify);
}

LRESULT CALLBACK DownloadThread::NotifyWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* thread = reinterpret_cast<DownloadThread*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (message == WM_DOWNLOAD_FINISHED && thread) thread->m_nPostedResult = static_cast<DownloadResult>(wParam);
    // As the progress dialog does.
    if (message == WM_DOWNLOAD_PROXY_PROMPT && thread) ShowProxyPrompt(hWnd, thread->m_downloader);
    return ::DefWindowProcA(hWnd, message, wParam, lParam);
}

DownloadResult DownloadThread::WaitForFinishedMessage(DWORD timeoutMs)
{
    PumpMessagesUntil([this] { return m_nPostedResult != 99; }, timeoutMs);
    return m_nPostedResult;
}

bool DownloadThread::Wait(DWORD timeoutMs)
{
    return m_hThread.IsValid() && WaitPumpingMessages(m_hThread, timeoutMs);
}

DWORD WINAPI DownloadThread::Run(LPVOID parameter)
{
    auto* thread = static_cast<DownloadThread*>(parameter);
    char object[256];
    std::snprintf(object, sizeof object, "%s%s", INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME);
    const CWideText path(thread->m_path.c_str(), CP_ACP);
    thread->m_nResult = thread->m_downloader.Download(DOWNLOAD_SERVER_HOST, object, path);
    return 0;
}

namespace {

HANDLE s_hWaitingPastStall = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
volatile LONG s_nDelivered;
decltype(&::InternetReadFile) s_realRead;
decltype(&::InternetQueryDataAvailable) s_realQuery;

void NoteWaitForMore()
{
    if (::InterlockedCompareExchange(&s_nDelivered, 0, 0) >= 65536) ::SetEvent(s_hWaitingPastStall);
}

BOOL WINAPI ObservedInternetReadFile(HINTERNET request, LPVOID buffer, DWORD size, LPDWORD got)
{
    NoteWaitForMore();
    const BOOL ok = s_realRead(request, buffer, size, got);
    if (ok) ::InterlockedExchangeAdd(&s_nDelivered, static_cast<LONG>(*got));
    return ok;
}

BOOL WINAPI ObservedInternetQueryDataAvailable(HINTERNET request, LPDWORD available, DWORD flags, DWORD_PTR context)
{
    NoteWaitForMore();
    return s_realQuery(request, available, flags, context);
}

}  // namespace

StallWatch::StallWatch()
    : m_read("wininet.dll", "InternetReadFile", reinterpret_cast<const void*>(&ObservedInternetReadFile)),
      m_query("wininet.dll", "InternetQueryDataAvailable",
              reinterpret_cast<const void*>(&ObservedInternetQueryDataAvailable))
{
    s_nDelivered = 0;
    ::ResetEvent(s_hWaitingPastStall);
    s_realRead = m_read.Original<decltype(s_realRead)>();
    s_realQuery = m_query.Original<decltype(s_realQuery)>();
}

bool StallWatch::WorkerWaitsPastStall()
{
    return ::WaitForSingleObject(s_hWaitingPastStall, 10000) == WAIT_OBJECT_0;
}

DownloadResult RunDownload(CHttpDownloader& downloader, const std::string& path)
{
    DownloadThread thread(downloader, path);
    thread.Wait(INFINITE);
    return thread.m_nResult;
}

namespace {

void DispatchPendingMessages()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

}  // namespace

bool WaitPumpingMessages(HANDLE handle, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (timeoutMs != INFINITE && elapsed >= timeoutMs) return false;
        const DWORD wait = ::MsgWaitForMultipleObjects(
            1, &handle, FALSE, timeoutMs == INFINITE ? INFINITE : timeoutMs - elapsed, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) return true;
        if (wait == WAIT_FAILED) return false;
        DispatchPendingMessages();
    }
}

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        DispatchPendingMessages();
    }
    return true;
}

bool RisesTo(unsigned long long last, const std::vector<unsigned long long>& progress)
{
    return !progress.empty() && progress.back() == last &&
           std::adjacent_find(progress.begin(), progress.end(), std::greater_equal<>()) == progress.end();
}
