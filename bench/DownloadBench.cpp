// Throughput and memory of a download: the real worker with the progress
// dialog against a bare WinInet read loop, on the same server. Prints a
// table; tools/bench-download.sh runs it against a local web server.
//
//   download_bench.exe PORT OUTPUT_FOLDER [ROUNDS] [pair]
//   download_bench.exe PORT OUTPUT_FOLDER ROUNDS relay RELAY_PORT
//   download_bench.exe PORT OUTPUT_FOLDER ROUNDS cancel STATS_FILE
// Each round times the bare loop to a file and then the Downloader, and
// unless "pair" is given (for a rate-limited server, where each transfer
// takes seconds) the bare loop without a file and the worker alone. With
// "relay", each round times the worker alone on the server undisturbed and
// then through a relay that drops the connection part way. With "cancel",
// PORT is a relay that counts the body bytes it passes on in STATS_FILE: each
// round cancels the worker once 4 MB have passed and prints how many more
// pass in the 5 s after.
// The proxy route comes with the test server's header, which brings
// winsock2.h ahead of windows.h.
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/DownloadTestRig.h"

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/ProgressDlg.h"
#include "framework/CWideText.h"
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

// Samples the working set every 5 ms on a thread of its own, which runs for
// the whole benchmark: a thread takes about a megabyte under Wine, and one
// started for a measurement would count against what is measured.
class WorkingSetSampler {
public:
    WorkingSetSampler()
        : m_thread([this] {
              while (!m_bStop) {
                  const SIZE_T now = WorkingSet();
                  {
                      std::lock_guard<std::mutex> lock(m_mutex);
                      m_peak = std::max(m_peak, now);
                      if (::GetTickCount() - m_dwStart < 1000)
                          m_firstSecondPeak = std::max(m_firstSecondPeak, now);
                      else
                          m_bPastFirstSecond = true;
                  }
                  ::Sleep(5);
              }
          })
    {
    }
    ~WorkingSetSampler()
    {
        m_bStop = true;
        m_thread.join();
    }

    // Starts a measurement: the working set now, once the process is quiet.
    SIZE_T Start()
    {
        ::Sleep(200);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_peak = m_firstSecondPeak = 0;
        m_bPastFirstSecond = false;
        m_dwStart = ::GetTickCount();
        return WorkingSet();
    }
    // The peak since Start; with a measurement longer than a second, its
    // growth after the first second.
    SIZE_T Peak(SIZE_T* growthAfterFirstSecond, bool* bPastFirstSecond)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        *growthAfterFirstSecond = m_peak - std::min(m_peak, m_firstSecondPeak);
        *bPastFirstSecond = m_bPastFirstSecond;
        return m_peak;
    }

private:
    std::mutex m_mutex;
    SIZE_T m_peak = 0;
    SIZE_T m_firstSecondPeak = 0;
    bool m_bPastFirstSecond = false;
    DWORD m_dwStart = 0;
    std::atomic<bool> m_bStop{false};
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

// The dialog with the changes of its status line counted.
class CountingProgressDlg : public CProgressDlg {
public:
    LONG m_nStatusUpdates = 0;

protected:
    BOOL OnInitDialog() override
    {
        const BOOL result = CProgressDlg::OnInitDialog();
        ::SetWindowSubclass(GetDlgItem(IDC_DOWNLOAD_STATUS), CountSetText, 0, reinterpret_cast<DWORD_PTR>(this));
        return result;
    }

private:
    static LRESULT CALLBACK CountSetText(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR data)
    {
        if (message == WM_SETTEXT) ++reinterpret_cast<CountingProgressDlg*>(data)->m_nStatusUpdates;
        if (message == WM_NCDESTROY) ::RemoveWindowSubclass(hWnd, CountSetText, id);
        return ::DefSubclassProc(hWnd, message, wParam, lParam);
    }
};

// CPU time the calling thread has used, in seconds.
double ThreadCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& time) {
        return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
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
    wchar_t target[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, run->target.c_str(), -1, target, MAX_PATH);
    run->result = run->downloader.Download(DOWNLOAD_SERVER_HOST, object, target);
    return 0;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Seconds for the worker alone, or a negative number when it failed.
double TimeWorkerAlone(const std::string& target)
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
    return run.result == DOWNLOAD_SUCCEEDED ? seconds : -1;
}

double WorkerAlone(const std::string& target, double megabytes)
{
    const double seconds = TimeWorkerAlone(target);
    return seconds > 0 ? megabytes / seconds : 0;
}

// The worker undisturbed and through the relay, each round, in seconds.
int RelayRounds(USHORT port, USHORT relayPort, const std::string& target, int rounds)
{
    std::vector<double> direct, relayed;
    for (int round = 0; round < rounds; ++round) {
        {
            ProxyRoute route(port);
            direct.push_back(TimeWorkerAlone(target));
        }
        ProxyRoute route(relayPort);
        relayed.push_back(TimeWorkerAlone(target));
        std::printf("round %d: undisturbed %.2f s, through the relay %.2f s\n", round + 1, direct.back(),
                    relayed.back());
        if (direct.back() < 0 || relayed.back() < 0) return 1;
    }
    std::printf("worker, median: undisturbed %.2f s, relay %.2f s, relay / undisturbed %.2f\n", Median(direct),
                Median(relayed), Median(relayed) / Median(direct));
    return 0;
}

// The relay's count of the body bytes it has passed on.
unsigned long long RelayedBytes(const std::string& statsFile)
{
    const std::string text = ReadWholeFile(statsFile);
    return std::strtoull(text.c_str(), nullptr, 10);
}

int CancelRounds(USHORT relayPort, const std::string& statsFile, const std::string& target, int rounds)
{
    ProxyRoute route(relayPort);
    std::vector<double> after;
    for (int round = 0; round < rounds; ++round) {
        WorkerRun run;
        run.target = target;
        const unsigned long long start = RelayedBytes(statsFile);
        HANDLE thread = ::CreateThread(nullptr, 0, RunWorker, &run, 0, nullptr);
        while (RelayedBytes(statsFile) - start < (4u << 20) && ::WaitForSingleObject(thread, 10) == WAIT_TIMEOUT) {
        }
        const unsigned long long atCancel = RelayedBytes(statsFile);
        LARGE_INTEGER cancelled;
        ::QueryPerformanceCounter(&cancelled);
        run.downloader.Cancel();
        // The worker's thread ends once WinInet has let go of the connection.
        const bool bEnded = ::WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
        const double ended = Seconds(cancelled);
        ::Sleep(static_cast<DWORD>(std::max(0.0, 5.0 - ended) * 1000));
        after.push_back(static_cast<double>(RelayedBytes(statsFile) - atCancel) / 1048576.0);
        ::WaitForSingleObject(thread, INFINITE);
        std::printf("round %d: %.2f MiB passed in the 5 s after Cancel; the worker ended %.2f s after it\n", round + 1,
                    after.back(), bEnded ? ended : Seconds(cancelled));
        ::CloseHandle(thread);
        ::DeleteFileA(target.c_str());
    }
    std::printf("worker, median: %.2f MiB passed in the 5 s after Cancel\n", Median(after));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: download_bench PORT OUTPUT_FOLDER [ROUNDS] [pair]\n");
        return 2;
    }
    const std::string folder = argv[2];
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const bool bPairOnly = argc > 4 && std::strcmp(argv[4], "pair") == 0;
    const std::string bareFile = folder + "\\bare-loop.bin";
    const std::string target = folder + "\\" + INSTALLER_FILE_NAME;
    if (argc > 5 && std::strcmp(argv[4], "relay") == 0)
        return RelayRounds(static_cast<USHORT>(std::atoi(argv[1])), static_cast<USHORT>(std::atoi(argv[5])), target,
                           rounds);
    if (argc > 5 && std::strcmp(argv[4], "cancel") == 0)
        return CancelRounds(static_cast<USHORT>(std::atoi(argv[1])), argv[5], target, rounds);
    ProxyRoute proxy(static_cast<USHORT>(std::atoi(argv[1])));

    // Warm-up of the connection: loads WinInet and opens the first one.
    const LONGLONG size = BareReadLoop(nullptr);
    if (size <= 0) {
        std::fprintf(stderr, "no body from the server\n");
        return 1;
    }
    const double megabytes = static_cast<double>(size) / 1e6;

    // Warm-up of the dialog: what its first showing loads (classes, fonts)
    // stays loaded and is not counted against every download.
    {
        CProgressDlg dialog(nullptr);
        dialog.m_strPath = CWideText(target.c_str(), CP_ACP);
        if (dialog.DoModal() != IDOK) return 1;
        ::DeleteFileA(target.c_str());
    }

    std::vector<double> bareRead, bareWrite, downloader, pairRatios, worker, uiCpu, statusUpdates;
    WorkingSetSampler sampler;
    SIZE_T idle = 0, peakAboveIdle = 0, barePeakAboveIdle = 0, growth = 0;
    bool bGrowthMeasured = false;
    for (int round = 0; round < rounds; ++round) {
        SIZE_T before = sampler.Start();
        LARGE_INTEGER start;
        ::QueryPerformanceCounter(&start);
        if (BareReadLoop(bareFile.c_str()) != size) return 1;
        bareWrite.push_back(megabytes / Seconds(start));
        SIZE_T growthAfterFirstSecond = 0;
        bool bPastFirstSecond = false;
        const SIZE_T barePeak = sampler.Peak(&growthAfterFirstSecond, &bPastFirstSecond);
        barePeakAboveIdle = std::max(barePeakAboveIdle, barePeak - std::min(before, barePeak));
        ::DeleteFileA(bareFile.c_str());

        before = sampler.Start();
        idle = std::max(idle, before);
        CountingProgressDlg dialog;
        dialog.m_strPath = CWideText(target.c_str(), CP_ACP);
        const double cpuBefore = ThreadCpuSeconds();
        ::QueryPerformanceCounter(&start);
        const INT_PTR result = dialog.DoModal();
        const double seconds = Seconds(start);
        uiCpu.push_back((ThreadCpuSeconds() - cpuBefore) / seconds);
        statusUpdates.push_back(dialog.m_nStatusUpdates / seconds);
        const SIZE_T peak = sampler.Peak(&growthAfterFirstSecond, &bPastFirstSecond);
        peakAboveIdle = std::max(peakAboveIdle, peak - std::min(before, peak));
        if (bPastFirstSecond) {
            bGrowthMeasured = true;
            growth = std::max(growth, growthAfterFirstSecond);
        }
        if (result != IDOK || FileSize(target) != size) {
            std::fprintf(stderr, "download failed: %d\n", static_cast<int>(result));
            return 1;
        }
        downloader.push_back(megabytes / seconds);
        pairRatios.push_back(downloader.back() / bareWrite.back());
        ::DeleteFileA(target.c_str());

        if (bPairOnly) continue;
        ::QueryPerformanceCounter(&start);
        if (BareReadLoop(nullptr) != size) return 1;
        bareRead.push_back(megabytes / Seconds(start));
        worker.push_back(WorkerAlone(target, megabytes));
    }

    const double bareWriteMBps = Median(bareWrite), downloaderMBps = Median(downloader);
    std::printf("body                         %.1f MB (%lld bytes), median of %d rounds\n", megabytes, size, rounds);
    std::printf("bare WinInet loop, to a file %8.1f MB/s\n", bareWriteMBps);
    std::printf("Downloader (worker + dialog) %8.1f MB/s\n", downloaderMBps);
    if (!bPairOnly) {
        std::printf("bare WinInet loop, read only %8.1f MB/s\n", Median(bareRead));
        std::printf("worker alone, no dialog      %8.1f MB/s\n", Median(worker));
    }
    // The fastest rounds show each side with the least interference from
    // whatever else the machine runs.
    std::printf("Downloader / bare to a file  %8.3f (medians), %.3f (median of the rounds' ratios), %.3f (fastest)\n",
                downloaderMBps / bareWriteMBps, Median(pairRatios),
                *std::max_element(downloader.begin(), downloader.end()) /
                    *std::max_element(bareWrite.begin(), bareWrite.end()));
    std::printf("rounds' ratios              ");
    for (double ratio : pairRatios) std::printf(" %.3f", ratio);
    std::printf("\n");
    std::printf("UI thread CPU per second of download %6.1f ms (median), status line updates %.1f per second\n",
                Median(uiCpu) * 1000, Median(statusUpdates));
    std::printf("working set idle             %8.2f MiB\n", static_cast<double>(idle) / 1048576.0);
    std::printf("peak - idle (largest round)  %8.2f MiB, bare loop to a file %.2f MiB\n",
                static_cast<double>(peakAboveIdle) / 1048576.0, static_cast<double>(barePeakAboveIdle) / 1048576.0);
    if (bGrowthMeasured)
        std::printf("growth after the first second %7.2f MiB\n", static_cast<double>(growth) / 1048576.0);
    else
        std::printf("growth after the first second     n/a (every download took less than a second)\n");
    return 0;
}
