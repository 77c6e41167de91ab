// The waits a user of the Downloader feels, measured on the built program
// in its own process: from pressing Download (camera present) to the Save As
// dialog; from Cancel during a stalled read to the progress dialog gone, and
// to the main dialog back to take the next press; the same from OK on the
// network error's message; and from the last byte of the installer to the
// completion dialog.
// Prints a table; not a test.
#include "tests/support/LoopbackHttpServer.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "devices/SupportedDevice.h"
#include "res/resource.h"
#include "tests/support/DialogDriver.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/SimulatedCamera.h"

namespace {

constexpr int kRounds = 5;
const char kCameraKey[] = "bench-flow-camera";

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * counter.QuadPart / frequency.QuadPart;
}

// Polls every millisecond, so the figure is not rounded to a coarse step.
HWND WaitClosely(DWORD thread, const std::function<bool(HWND)>& match)
{
    for (int i = 0; i < 20000; ++i) {
        for (HWND dialog : VisibleThreadDialogs(thread))
            if (match(dialog)) return dialog;
        Sleep(1);
    }
    return nullptr;
}

bool HasControl(HWND dialog, int id)
{
    return GetDlgItem(dialog, id) != nullptr;
}

// The main dialog active, with the keyboard focus on Download: the next
// Enter or click presses it.
bool MainDialogTakesThePress(DWORD thread, HWND main)
{
    GUITHREADINFO input{};
    input.cbSize = sizeof input;
    return IsWindowVisible(main) && IsWindowEnabled(main) && GetGUIThreadInfo(thread, &input) &&
           input.hwndActive == main && input.hwndFocus == GetDlgItem(main, IDC_DOWNLOAD);
}

// Milliseconds from `start` until the main dialog takes the press, polled
// every millisecond; -1 after 20 s.
double UntilMainDialogTakesThePress(DWORD thread, HWND main, double start)
{
    for (int i = 0; i < 20000; ++i) {
        if (MainDialogTakesThePress(thread, main)) return Now() - start;
        Sleep(1);
    }
    return -1;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main()
{
    const std::string exe = WindowsPath(PROGRAM_EXE);
    const std::string folder = WindowsPath(WORK_FOLDER);
    CreateDirectoryA(folder.c_str(), nullptr);

    SupportedDevice table[SUPPORTED_DEVICE_COUNT];
    SupportedDeviceTable(table);
    SimulatedCamera camera(kCameraKey, "USB Camera",
                           SimulatedCamera::UsbDevicePath(table[0].wVendorId, table[0].wProductId));
    LoopbackHttpServer server;
    if (!camera.plugged() || !server.Start()) return 1;
    ProxyRoute route(server.Port());
    const std::string body = PatternBody((1 << 20) + 123);

    std::vector<double> toSaveAs, toClosed, cancelToMain, errorOkToMain, toCompletion;
    for (int round = 0; round < kRounds; ++round) {
        const std::string target = folder + "\\installer-" + std::to_string(round) + ".exe";
        DeleteFileA(target.c_str());
        // All but the last 1000 bytes, then a stall: releasing it sends the
        // last bytes at once.

        ProgramProcess program;
        if (!program.Start(exe, folder.c_str())) return 1;
        HWND main = WaitForThreadDialog(program.thread(), [](HWND w) { return HasControl(w, IDC_DOWNLOAD); });
        if (!main) return 1;
        Sleep(500);

        // A download the server refuses: OK on the network error's message.
        server.SetBehaviour(HttpBehaviour::Status(404, "not here"));
        ClickButton(main, IDC_DOWNLOAD);
        HWND failing = WaitClosely(program.thread(), [](HWND w) { return SaveAsFileNameBox(w) != nullptr; });
        if (!failing) return 1;
        SendMessageA(SaveAsFileNameBox(failing), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
        ClickButton(failing, IDOK);
        HWND message = WaitClosely(program.thread(), [](HWND w) { return WindowText(w) == "QuilloCamKitDL"; });
        if (!message) return 1;
        Sleep(200);
        const double ok = Now();
        ClickButton(message, IDOK);
        errorOkToMain.push_back(UntilMainDialogTakesThePress(program.thread(), main, ok));
        Sleep(500);

        // The first download is cancelled while the server holds back, the
        // second is let through.
        HWND progress = nullptr;
        for (int attempt = 0; attempt < 2; ++attempt) {
            server.SetBehaviour(HttpBehaviour::Stalled(body, body.size() - 1000));
            double pressed = Now();
            ClickButton(main, IDC_DOWNLOAD);
            HWND saveAs = WaitClosely(program.thread(), [](HWND w) { return SaveAsFileNameBox(w) != nullptr; });
            if (!saveAs) return 1;
            if (attempt == 0) toSaveAs.push_back(Now() - pressed);
            SendMessageA(SaveAsFileNameBox(saveAs), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
            ClickButton(saveAs, IDOK);
            progress = WaitClosely(program.thread(), [](HWND w) { return HasControl(w, IDC_PROGRESS); });
            if (!progress || !server.WaitForStall(20000)) return 1;
            if (attempt == 1) break;
            const double cancelled = Now();
            ClickButton(progress, IDCANCEL);
            for (int i = 0; i < 20000 && IsWindow(progress) && IsWindowVisible(progress); ++i) Sleep(1);
            toClosed.push_back(Now() - cancelled);
            cancelToMain.push_back(UntilMainDialogTakesThePress(program.thread(), main, cancelled));
            Sleep(500);
        }
        double released = Now();
        server.ReleaseStall();
        HWND complete = WaitClosely(program.thread(), [](HWND w) { return HasControl(w, IDC_RUN_CHECK); });
        if (!complete) return 1;
        toCompletion.push_back(Now() - released);
        ClickButton(complete, IDOK);
        program.HasExited(10000);
        DeleteFileA(target.c_str());
    }

    printf("wait in ms over %d rounds%22s %10s %10s %10s\n", kRounds, "", "median", "min", "max");
    auto row = [](const char* name, const std::vector<double>& values) {
        printf("%-46s %10.1f %10.1f %10.1f\n", name, Median(values), *std::min_element(values.begin(), values.end()),
               *std::max_element(values.begin(), values.end()));
    };
    row("Download pressed -> Save As shown", toSaveAs);
    row("Cancel pressed in a stalled read -> dialog gone", toClosed);
    row("Cancel pressed -> main dialog takes the press", cancelToMain);
    row("OK on the network error -> main takes the press", errorOkToMain);
    row("last byte sent -> completion dialog shown", toCompletion);
    return 0;
}
