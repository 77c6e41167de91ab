// Walks once through the Download command of the Downloader on a display
// nobody watches, saving a screenshot of every step:
//   demo_tour <Downloader exe> <download folder> <screenshot folder>
// Download, Save As with the offered name, the completion dialog with its
// box ticked, and the installer it starts.
//   demo_tour --main-dialog <Downloader exe> <screenshot folder> <name>
// only takes the main dialog's screenshot, as tour-<name>, and closes it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

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
    if (argc != 4) return Fail("usage: demo_tour <Downloader exe> <download folder> <screenshot folder>");
    g_shotFolder = argv[3];
    CreateDirectoryA(argv[2], nullptr);
    std::string target = std::string(argv[2]) + "\\QuilloCamKitSetup121.exe";
    DeleteFileA(target.c_str());

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
        ClickButton(main, IDC_DOWNLOAD);

        HWND saveAs = WaitForDialogWith(thread, 0x47c);
        if (!saveAs) saveAs = WaitForDialogWith(thread, 0x480, 100);
        if (!saveAs) {
            Fail("no Save As dialog (is a supported camera plugged in?)");
            break;
        }
        SendMessageA(SaveAsFileNameBox(saveAs), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
        Shot("save-as");
        ClickButton(saveAs, IDOK);

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
