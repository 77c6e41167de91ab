// Walks once through the Download command of the Downloader on a display
// nobody watches, saving a screenshot of every step:
//   demo_tour <Downloader exe> <download folder> <screenshot folder>
// Download, Save As with the offered name, the completion dialog with its
// box ticked, and the installer it starts.
//   demo_tour --main-dialog <Downloader exe> <screenshot folder> <name>
// only takes the main dialog's screenshot, as tour-<name>, and closes it.
//   demo_tour --progress <Downloader exe> <download folder> <screenshot folder> <name>
// takes the progress window's screenshot mid-download, as tour-<name>, then
// cancels the download and closes the main dialog.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "download/ProgressDlg.h"
#include "res/resource.h"
#include "tests/support/DialogDriver.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/Screenshot.h"

namespace {

std::string g_shotFolder;
int g_shot = 0;

void Shot(const char* step)
{
    // A window that has just appeared may not have painted yet.
    Sleep(300);
    char name[96];
    snprintf(name, sizeof name, "\\tour-%02d-%s.bmp", ++g_shot, step);
    SaveScreenshot(g_shotFolder + name);
    printf("  %s%s\n", g_shotFolder.c_str(), name);
}

// A visible dialog of `thread` that has control `id`.
HWND WaitForDialogWith(DWORD thread, int id, DWORD timeoutMs = 20000)
{
    return WaitForThreadDialog(
        thread, [id](HWND dialog) { return GetDlgItem(dialog, id) != nullptr; }, timeoutMs);
}

int Fail(const char* what)
{
    fprintf(stderr, "demo tour: %s\n", what);
    return 1;
}

// Download, and the offered name in the Save As dialog set to `target`.
bool StartDownload(HWND main, DWORD thread, const std::string& target, bool shot)
{
    ClickButton(main, IDC_DOWNLOAD);
    HWND saveAs = WaitForDialogWith(thread, 0x47c);
    if (!saveAs) saveAs = WaitForDialogWith(thread, 0x480, 100);
    if (!saveAs) return false;
    SendMessageA(SaveAsFileNameBox(saveAs), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
    if (shot) Shot("save-as");
    ClickButton(saveAs, IDOK);
    return true;
}

// The progress window once its status line quotes a speed (the demo server
// sends slowly), or after a few seconds.
HWND ShotProgress(DWORD thread, const char* name)
{
    HWND progress = WaitForDialogWith(thread, IDC_PROGRESS);
    if (!progress) return nullptr;
    for (int i = 0; i < 60; ++i) {
        char text[256] = "";
        GetDlgItemTextA(progress, IDC_DOWNLOAD_STATUS, text, sizeof text);
        if (strstr(text, "秒")) break;
        Sleep(50);
    }
    Shot(name);
    return progress;
}

std::string Target(const char* folder)
{
    CreateDirectoryA(folder, nullptr);
    std::string target = std::string(folder) + "\\QuilloCamKitSetup121.exe";
    DeleteFileA(target.c_str());
    return target;
}

int ShowProgress(const char* exe, const char* folder, const char* name)
{
    ProgramProcess downloader;
    if (!downloader.Start(exe, nullptr)) return Fail("the Downloader did not start");
    HWND main = WaitForDialogWith(downloader.thread(), IDC_DOWNLOAD);
    if (!main) return Fail("no main dialog");
    if (!StartDownload(main, downloader.thread(), Target(folder), false)) return Fail("no Save As dialog");
    HWND progress = ShotProgress(downloader.thread(), name);
    if (!progress) return Fail("no progress window");
    ClickButton(progress, IDCANCEL);
    WaitUntilClosed(progress);
    main = WaitForDialogWith(downloader.thread(), IDC_DOWNLOAD);
    if (main) ClickButton(main, IDCANCEL);
    return downloader.HasExited(10000) ? 0 : Fail("the Downloader did not end");
}

int ShowMainDialog(const char* exe, const char* name)
{
    ProgramProcess downloader;
    if (!downloader.Start(exe, nullptr)) return Fail("the Downloader did not start");
    HWND main = WaitForDialogWith(downloader.thread(), IDC_DOWNLOAD);
    if (!main) return Fail("no main dialog");
    Shot(name);
    ClickButton(main, IDCANCEL);
    return downloader.HasExited(10000) ? 0 : Fail("the Downloader did not end");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--main-dialog") == 0) {
        g_shotFolder = argv[3];
        return ShowMainDialog(argv[2], argv[4]);
    }
    if (argc == 6 && strcmp(argv[1], "--progress") == 0) {
        g_shotFolder = argv[4];
        return ShowProgress(argv[2], argv[3], argv[5]);
    }
    if (argc != 4) return Fail("usage: demo_tour <Downloader exe> <download folder> <screenshot folder>");
    g_shotFolder = argv[3];
    const std::string target = Target(argv[2]);

    ProgramProcess downloader;
    if (!downloader.Start(argv[1], nullptr)) return Fail("the Downloader did not start");
    const DWORD thread = downloader.thread();
    int result = 1;

    do {
        HWND main = WaitForDialogWith(thread, IDC_DOWNLOAD);
        if (!main) {
            Fail("no main dialog");
            break;
        }
        Shot("main-dialog");
        if (!StartDownload(main, thread, target, true)) {
            Fail("no Save As dialog (is a supported camera plugged in?)");
            break;
        }
        ShotProgress(thread, "progress");

        HWND complete = WaitForDialogWith(thread, IDC_RUN_CHECK, 60000);
        if (!complete) {
            Shot("no-completion");
            Fail("the download did not complete");
            break;
        }
        Shot("download-complete");
        ClickButton(complete, IDC_RUN_CHECK);
        Sleep(200);
        Shot("run-ticked");
        ClickButton(complete, IDOK);

        // The sample installer says that it ran.
        HWND installer = nullptr;
        for (int i = 0; i < 300 && !installer; ++i) {
            installer = FindWindowA(nullptr, "SampleInstaller");
            Sleep(50);
        }
        if (!installer) {
            Fail("the sample installer did not show");
            break;
        }
        Sleep(300);
        Shot("installer-started");
        PostMessageA(installer, WM_COMMAND, IDOK, 0);
        result = 0;
    } while (false);

    if (!downloader.HasExited(10000)) result = 1;
    printf(result == 0 ? "demo tour: downloaded %s and started it\n" : "demo tour: stopped early\n", target.c_str());
    return result;
}
