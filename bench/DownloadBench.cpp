// Throughput and memory of a download: the real worker with the progress
// dialog against a bare WinInet read loop, on the same server. Prints a
// table; tools/bench-download.sh runs it against a local web server.
//
//   download_bench.exe PORT OUTPUT_FOLDER [ROUNDS]
// The proxy route comes with the test server's header, which brings
// winsock2.h ahead of windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "download/ProgressDlg.h"
#include "framework/CWinApp.h"

namespace {

CWinApp s_app;

SIZE_T WorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

// Samples the working set every 5 ms while it lives: the peak, and the
// figure a quarter of a second in, once the dialog and the connection are up.
class WorkingSetSampler {
public:
    WorkingSetSampler()
        : m_thread([this] {
              const DWORD start = ::GetTickCount();
              while (!m_bStop) {
                  const SIZE_T now = WorkingSet();
                  m_peak = std::max<SIZE_T>(m_peak, now);
                  if (!m_early && ::GetTickCount() - start >= 250) m_early = now;
                  ::Sleep(5);
              }
          })
    {
    }
    ~WorkingSetSampler() { Stop(); }
    void Stop()
    {
        if (m_thread.joinable()) {
            m_bStop = true;
            m_thread.join();
        }
    }
    SIZE_T Peak() const { return m_peak; }
    SIZE_T Early() const { return m_early; }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<SIZE_T> m_peak{0};
    std::atomic<SIZE_T> m_early{0};
    std::thread m_thread;
};

double Seconds(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LONGLONG FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The same requests and 64 KB reads as the worker, without thread, dialog or
// progress messages; with `path`, the body is written there as well.
LONGLONG BareReadLoop(const char* path)
{
    LONGLONG total = -1;
    HINTERNET root = ::InternetOpenA(DOWNLOAD_USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection =
        root ? ::InternetConnectA(root, DOWNLOAD_SERVER_HOST, 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
             : nullptr;
    char object[256];
    std::snprintf(object, sizeof object, "%s%s", INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME);
    HINTERNET request = connection ? ::HttpOpenRequestA(connection, "GET", object, nullptr, nullptr, nullptr,
                                                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                                   : nullptr;
    if (request && ::HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        FILE* file = path ? std::fopen(path, "wb") : nullptr;
        std::vector<BYTE> buffer(0x10000);
        DWORD got = 0;
        total = 0;
        while (::InternetReadFile(request, buffer.data(), 0x10000, &got) && got > 0) {
            if (file) std::fwrite(buffer.data(), got, 1, file);
            total += got;
        }
        if (file) std::fclose(file);
    }
    for (HINTERNET handle : {request, connection, root})
        if (handle) ::InternetCloseHandle(handle);
    return total;
}

// The worker on a thread of its own, while this thread dispatches messages
// as the dialog's would.
struct WorkerRun {
    CHttpDownloader downloader;
    std::string target;
    DownloadResult result = 99;
};

DWORD WINAPI RunWorker(LPVOID parameter)
{
    auto* run = static_cast<WorkerRun*>(parameter);
    char object[256];
    std::snprintf(object, sizeof object, "%s%s", INSTALLER_OBJECT_FOLDER, INSTALLER_FILE_NAME);
    run->result = run->downloader.Download(DOWNLOAD_SERVER_HOST, object, run->target.c_str());
    return 0;
}

double WorkerAlone(const std::string& target, double megabytes)
{
    WorkerRun run;
    run.target = target;
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    HANDLE thread = ::CreateThread(nullptr, 0, RunWorker, &run, 0, nullptr);
    while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    }
    const double seconds = Seconds(start);
    ::CloseHandle(thread);
    ::DeleteFileA(target.c_str());
    return run.result == DOWNLOAD_SUCCEEDED ? megabytes / seconds : 0;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: download_bench PORT OUTPUT_FOLDER [ROUNDS]\n");
        return 2;
    }
    ProxyRoute proxy(static_cast<USHORT>(std::atoi(argv[1])));
    const std::string folder = argv[2];
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const std::string bareFile = folder + "\\bare-loop.bin";
    const std::string target = folder + "\\" + INSTALLER_FILE_NAME;

    // Warm-up: loads WinInet and opens the first connection.
    const LONGLONG size = BareReadLoop(nullptr);
    if (size <= 0) {
        std::fprintf(stderr, "no body from the server\n");
        return 1;
    }
    const double megabytes = static_cast<double>(size) / 1e6;

    std::vector<double> bareRead, bareWrite, downloader, worker;
    SIZE_T idle = 0, peak = 0, growth = 0;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start;
        ::QueryPerformanceCounter(&start);
        if (BareReadLoop(nullptr) != size) return 1;
        bareRead.push_back(megabytes / Seconds(start));

        ::QueryPerformanceCounter(&start);
        if (BareReadLoop(bareFile.c_str()) != size) return 1;
        bareWrite.push_back(megabytes / Seconds(start));
        ::DeleteFileA(bareFile.c_str());

        worker.push_back(WorkerAlone(target, megabytes));
        ::DeleteFileA(target.c_str());
        ::Sleep(200);
        idle = std::max(idle, WorkingSet());
        CProgressDlg dialog(nullptr);
        dialog.m_strPath = target.c_str();
        WorkingSetSampler sampler;
        ::QueryPerformanceCounter(&start);
        const INT_PTR result = dialog.DoModal();
        const double seconds = Seconds(start);
        sampler.Stop();
        peak = std::max(peak, sampler.Peak());
        growth = std::max(growth, sampler.Peak() - std::min(sampler.Early(), sampler.Peak()));
        if (result != IDOK || FileSize(target) != size) {
            std::fprintf(stderr, "download failed: %d\n", static_cast<int>(result));
            return 1;
        }
        downloader.push_back(megabytes / seconds);
        ::DeleteFileA(target.c_str());
    }

    const double bareReadMBps = Median(bareRead), bareWriteMBps = Median(bareWrite),
                 downloaderMBps = Median(downloader);
    std::printf("body                         %.1f MB (%lld bytes), median of %d rounds\n", megabytes, size, rounds);
    std::printf("bare WinInet loop, read only %8.1f MB/s\n", bareReadMBps);
    std::printf("bare WinInet loop, to a file %8.1f MB/s\n", bareWriteMBps);
    std::printf("worker alone, no dialog      %8.1f MB/s\n", Median(worker));
    std::printf("Downloader (worker + dialog) %8.1f MB/s\n", downloaderMBps);
    std::printf("Downloader / bare to a file  %8.3f\n", downloaderMBps / bareWriteMBps);
    std::printf("Downloader / bare read only  %8.3f\n", downloaderMBps / bareReadMBps);
    std::printf("working set idle             %8.2f MiB\n", static_cast<double>(idle) / 1048576.0);
    std::printf("working set peak (download)  %8.2f MiB\n", static_cast<double>(peak) / 1048576.0);
    std::printf("peak - idle                  %8.2f MiB\n", (static_cast<double>(peak) - idle) / 1048576.0);
    std::printf("growth after the first 0.25 s %7.2f MiB\n", static_cast<double>(growth) / 1048576.0);
    return 0;
}
