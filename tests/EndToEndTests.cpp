// The Downloader as its user meets it: the built program runs in a process
// of its own and is driven only through its windows (buttons, the Save As
// dialog, the check box, message boxes), with simulated cameras and a
// loopback download server behind the fixed host. Every step leaves a
// screenshot under the build folder.
// The server's header brings winsock2.h, which must come before windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadConstants.h"
#include "devices/SupportedDevice.h"
#include "framework/CWideText.h"
#include "res/resource.h"
#include "tests/support/DialogDriver.h"
#include "tests/support/DownloadTestRig.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/Screenshot.h"
#include "tests/support/SimulatedCamera.h"
#include "tests/support/TrustedRoot.h"

namespace {

const char kProgramCaption[] = "QuilloCamKitDL";
const char kConnectCheckCaption[] = "接続確認";
const char kNetworkErrorText[] = "[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。";
const char kFileErrorText[] =
    "[ファイルI/Oエラー]\n\nファイルを保存することができません。\nファイルへの書き込み権限などをご確認ください。";
const char kCannotRunSetupText[] = "セットアップを実行できませんでした。";
const char kNotTheExpectedInstallerText[] =
    "ダウンロードしたファイルは、このプログラムが配布するセットアップではありません。\n"
    "ファイルが破損しているか、改ざんされているおそれがあります。\n\n"
    "このまま実行しますか？";
const char kInvalidFileNameText[] = "ファイル名が不適切です";
const char kCameraKey[] = "e2e-camera";
const std::string kInstallerUrlTail =
    std::string("/support/download/peripheral/pccamera/camvista/soft/") + INSTALLER_FILE_NAME;

// The tests' own 8-bit texts (CP932 bytes) in UTF-16.
std::wstring Wide(const std::string& text)
{
    return static_cast<LPCWSTR>(CWideText(text.c_str(), PROGRAM_TEXT_CODE_PAGE));
}

// True once no process runs a program file named `fileName` (CP932 bytes)
// within 15 s: a started installer has then left its mark.
bool NoProcessRuns(const std::string& fileName)
{
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 15000; Sleep(50)) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        BOOL more = Process32FirstW(snapshot, &entry);
        while (more && _wcsicmp(entry.szExeFile, Wide(fileName).c_str()) != 0) more = Process32NextW(snapshot, &entry);
        CloseHandle(snapshot);
        if (!more) return true;
    }
    return false;
}

// Another program's window, behind the program's own: activated only when the
// program gives up the foreground, which on Windows it may not take back.
struct OtherProgramWindow {
    static inline volatile LONG s_activations = 0;
    HWND volatile window = nullptr;
    std::thread thread{[this] {
        HWND created = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 99, 99, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(created, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordActivation));
        SetWindowPos(created, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
        window = created;
        for (MSG msg; GetMessageW(&msg, nullptr, 0, 0) > 0;) DispatchMessageW(&msg);
    }};
    ~OtherProgramWindow() { PostMessageW(window, WM_QUIT, 0, 0), thread.join(); }
    static LRESULT CALLBACK RecordActivation(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE) InterlockedIncrement(&s_activations);
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
};

bool HasControl(HWND dialog, int id)
{
    return GetDlgItem(dialog, id) != nullptr;
}

bool HasCaption(HWND dialog, const char* caption)
{
    return WindowText(dialog) == caption;
}

class EndToEndTest : public LoopbackDownloadTest {
protected:
    void SetUp() override
    {
        SimulatedCamera::Unplug(kCameraKey);
        // The served installers are signed under the tests' root.
        ASSERT_TRUE(m_root.trusted());
        LoopbackDownloadTest::SetUp();
        if (HasFatalFailure()) return;
        // The program runs from a Downloads folder that holds DLLs named like
        // system DLLs, with Wine's override for it (WINEDLLOVERRIDES=
        // "wininet,wintrust=n,b" for one program) preferring them as Windows would.
        m_programFolder = m_folder + "-program";
        CreateDirectoryA(m_programFolder.c_str(), nullptr);
        const std::string exe = m_programFolder + "\\QuilloCamKitDL.exe";
        ASSERT_TRUE(CopyFileA(WindowsPath(PROGRAM_EXE).c_str(), exe.c_str(), FALSE));
        for (const char* dll : kLookAlikeDlls) {
            const std::string file = std::string("\\") + dll + ".dll", planted = m_programFolder + file;
            DeleteFileA((planted + ".loaded").c_str());
            ASSERT_TRUE(CopyFileA((WindowsPath(LOOK_ALIKE_DLL_FOLDER) + file).c_str(), planted.c_str(), FALSE));
            ASSERT_EQ(0, RegSetKeyValueA(HKEY_CURRENT_USER, kWineOverridesKey, dll, REG_SZ, "native,builtin", 15));
        }
        ASSERT_TRUE(m_program.Start(exe, m_folder.c_str()));
        m_main = WaitForThreadDialog(m_program.thread(), [](HWND w) { return HasControl(w, IDC_DOWNLOAD); });
        ASSERT_NE(nullptr, m_main);
        m_otherProgram = std::make_unique<OtherProgramWindow>();
        while (!m_otherProgram->window) Sleep(1);
        Shot("main");
    }

    void TearDown() override
    {
        SimulatedCamera::Unplug(kCameraKey);
        m_server.Stop();
        RegDeleteTreeA(HKEY_CURRENT_USER, kWineOverridesKey);
        for (const char* dll : kLookAlikeDlls)
            EXPECT_FALSE(FileExists(m_programFolder + "\\" + dll + ".dll.loaded")) << dll << ".dll was loaded";
    }

    void Shot(const char* step)
    {
        // A window that has just appeared may not have painted yet.
        for (HWND dialog : VisibleThreadDialogs(m_program.thread()))
            RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        char name[200];
        snprintf(name, sizeof name, "\\e2e-%s-%02d-%s.bmp", test->name(), ++m_shots, step);
        SaveScreenshot(ScreenshotFolder() + name);
    }

    void PlugSupportedCamera()
    {
        SupportedDevice table[SUPPORTED_DEVICE_COUNT];
        SupportedDeviceTable(table);
        ASSERT_TRUE(SimulatedCamera::Plug(kCameraKey, "USB Camera",
                                          SimulatedCamera::UsbDevicePath(table[5].wVendorId, table[5].wProductId)));
    }

    HWND WaitForConnectCheck()
    {
        return WaitForThreadDialog(m_program.thread(), [](HWND w) { return HasCaption(w, kConnectCheckCaption); });
    }
    HWND WaitForSaveAs()
    {
        return WaitForThreadDialog(m_program.thread(), [](HWND w) { return SaveAsFileNameBox(w) != nullptr; });
    }
    HWND WaitForProgress()
    {
        return WaitForThreadDialog(m_program.thread(), [](HWND w) { return HasControl(w, IDC_PROGRESS); });
    }
    HWND WaitForComplete()
    {
        return WaitForThreadDialog(m_program.thread(), [](HWND w) { return HasControl(w, IDC_RUN_CHECK); });
    }
    HWND WaitForMessageBox(DWORD timeoutMs = 15000)
    {
        return WaitForThreadDialog(
            m_program.thread(), [](HWND w) { return HasCaption(w, kProgramCaption); }, timeoutMs);
    }

    // Types `path` into the Save As dialog and confirms it.
    void ChooseFile(HWND saveAs, const std::wstring& path)
    {
        HWND box = SaveAsFileNameBox(saveAs);
        ASSERT_NE(nullptr, box);
        SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        Shot("save-as");
        ClickButton(saveAs, IDOK);
    }
    void ChooseFile(HWND saveAs, const std::string& path) { ChooseFile(saveAs, Wide(path)); }

    // Download pressed with a camera present, up to the chosen file.
    void DownloadTo(const std::wstring& path)
    {
        ClickButton(m_main, IDC_DOWNLOAD);
        HWND saveAs = WaitForSaveAs();
        ASSERT_NE(nullptr, saveAs);
        ChooseFile(saveAs, path);
    }
    void DownloadTo(const std::string& path) { DownloadTo(Wide(path)); }

    // Ticks the completion dialog's box and confirms it.
    void RunFromTheCompletionDialog()
    {
        HWND complete = WaitForComplete();
        ASSERT_NE(nullptr, complete);
        ClickButton(complete, IDC_RUN_CHECK);
        ClickButton(complete, IDOK);
    }

    // Back alone, active and in front, focus on Download: the next Enter or click reaches it.
    void ExpectMainDialogBackAlone()
    {
        GUITHREADINFO input{};
        input.cbSize = sizeof input;
        const auto back = [&] {
            return VisibleThreadDialogs(m_program.thread()) == std::vector<HWND>{m_main} &&
                   GetGUIThreadInfo(m_program.thread(), &input) && input.hwndActive == m_main &&
                   input.hwndFocus == GetDlgItem(m_main, IDC_DOWNLOAD);
        };
        for (const DWORD start = GetTickCount(); !back() && GetTickCount() - start < 10000;) Sleep(20);
        EXPECT_TRUE(back()) << "not back alone and active, with the focus on Download";
        EXPECT_TRUE(IsWindowEnabled(m_main));
        EXPECT_EQ(m_main, GetForegroundWindow());
        EXPECT_EQ(0, OtherProgramWindow::s_activations) << "the program gave up the foreground";
    }

    std::string Path(const char* name) const { return m_folder + "\\" + name; }

    static constexpr const char* kLookAlikeDlls[] = {LOOK_ALIKE_DLLS};
    static constexpr const char* kWineOverridesKey = "Software\\Wine\\AppDefaults\\QuilloCamKitDL.exe\\DllOverrides";

    TrustedRoot m_root{WindowsPath(TEST_ROOT_CERTIFICATE)};
    std::string m_programFolder;
    ProgramProcess m_program;
    std::unique_ptr<OtherProgramWindow> m_otherProgram;
    HWND m_main = nullptr;
    int m_shots = 0;
};

// The mark program as the maker publishes it: signed with its certificate.
std::string MarkProgramBytes()
{
    return ReadWholeFile(WindowsPath(SIGNED_MARK_PROGRAM));
}

TEST_F(EndToEndTest, WithoutCameraOnlyTheConnectionCheckShowsAndCancelReturns)
{
    ClickButton(m_main, IDC_DOWNLOAD);
    HWND check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);
    Shot("connection-check");
    EXPECT_EQ(2u, VisibleThreadDialogs(m_program.thread()).size());
    EXPECT_FALSE(IsWindowEnabled(m_main));

    ClickButton(check, IDCANCEL);
    ASSERT_TRUE(WaitUntilClosed(check));
    ExpectMainDialogBackAlone();
    Shot("main-again");

    // Escape at the connection check returns the same way.
    ClickButton(m_main, IDC_DOWNLOAD);
    check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);
    PressKey(check, VK_ESCAPE);
    ASSERT_TRUE(WaitUntilClosed(check));
    ExpectMainDialogBackAlone();
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(EndToEndTest, PressingDownloadTwiceQuicklyRunsOneCommand)
{
    PostMessageA(GetDlgItem(m_main, IDC_DOWNLOAD), BM_CLICK, 0, 0);
    PostMessageA(GetDlgItem(m_main, IDC_DOWNLOAD), BM_CLICK, 0, 0);
    HWND check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);
    EXPECT_EQ(2u, VisibleThreadDialogs(m_program.thread()).size());
    // Posted after the second click, so handled after it: once the check
    // has closed, a second command would show.
    ClickButton(check, IDCANCEL);
    ASSERT_TRUE(WaitUntilClosed(check));
    ExpectMainDialogBackAlone();
}

TEST_F(EndToEndTest, RetryAfterPluggingInGoesStraightToSaveAs)
{
    ClickButton(m_main, IDC_DOWNLOAD);
    HWND check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);
    // Retry without a camera: the check runs again and the dialog returns.
    ClickButton(check, IDOK);
    ASSERT_TRUE(WaitUntilClosed(check));
    check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);

    PlugSupportedCamera();
    ClickButton(check, IDOK);
    HWND saveAs = WaitForSaveAs();
    ASSERT_NE(nullptr, saveAs);
    Shot("save-as");
    char offered[MAX_PATH] = {};
    SendMessageA(SaveAsFileNameBox(saveAs), WM_GETTEXT, sizeof offered, reinterpret_cast<LPARAM>(offered));
    EXPECT_STREQ(INSTALLER_FILE_NAME, offered);
    // The Save As dialog belongs to the main dialog.
    EXPECT_EQ(m_main, GetWindow(saveAs, GW_OWNER));

    // Closing it returns to the main dialog with nothing downloaded.
    PressKey(saveAs, VK_ESCAPE);
    ASSERT_TRUE(WaitUntilClosed(saveAs));
    ExpectMainDialogBackAlone();
    EXPECT_TRUE(m_server.Requests().empty());
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

TEST_F(EndToEndTest, SuccessWithTheBoxTickedSavesTheInstallerRunsItAndEnds)
{
    const std::string installer = MarkProgramBytes();
    ASSERT_FALSE(installer.empty());
    m_server.SetBehaviour(HttpBehaviour::Whole(installer));
    PlugSupportedCamera();

    const std::string target = Path(INSTALLER_FILE_NAME);
    DownloadTo(target);
    HWND complete = WaitForComplete();
    ASSERT_NE(nullptr, complete);
    EXPECT_FALSE(IsWindowVisible(m_main));
    ClickButton(complete, IDC_RUN_CHECK);
    Shot("complete-ticked");
    ClickButton(complete, IDOK);

    // The program ends through the framework's normal exit.
    DWORD exitCode = 99;
    ASSERT_TRUE(m_program.HasExited(15000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(installer, ReadWholeFile(target));
    // The downloaded program ran and left its mark.
    const DWORD start = GetTickCount();
    while (!FileExists(target + ".ran") && GetTickCount() - start < 15000) Sleep(50);
    EXPECT_TRUE(FileExists(target + ".ran"));

    std::vector<RecordedRequest> requests = m_server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].target.find(kInstallerUrlTail));
}

TEST_F(EndToEndTest, SuccessWithTheBoxClearEndsWithoutStartingAndKeepsTheChosenName)
{
    // The connection drops at a third: the rest is asked for by range.
    const std::string installer = MarkProgramBytes();
    const size_t drop = installer.size() / 3;
    m_server.SetBehaviour(HttpBehaviour::Resumable(installer, {drop}));
    PlugSupportedCamera();

    const std::string target = Path("カメラ表ソフト.exe");
    DownloadTo(target);
    HWND complete = WaitForComplete();
    ASSERT_NE(nullptr, complete);
    Shot("complete");
    ClickButton(complete, IDOK);

    ASSERT_TRUE(m_program.HasExited(15000));
    EXPECT_EQ(installer, ReadWholeFile(target));
    EXPECT_TRUE(NoProcessRuns("カメラ表ソフト.exe"));
    EXPECT_FALSE(FileExists(target + ".ran"));
    EXPECT_EQ(std::vector<std::string>{"カメラ表ソフト.exe"}, FilesIn(m_folder));
    // The installer is requested under its fixed name whatever the local one.
    std::vector<RecordedRequest> requests = m_server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].target.find(kInstallerUrlTail));
    EXPECT_EQ("bytes=" + std::to_string(drop) + "-", requests[1].range);
}

TEST_F(EndToEndTest, ChoosingAnExistingFileAsksBeforeReplacingIt)
{
    const std::string installer = MarkProgramBytes();
    m_server.SetBehaviour(HttpBehaviour::Whole(installer));
    PlugSupportedCamera();
    const std::string target = Path(INSTALLER_FILE_NAME);
    WriteWholeFile(target, "an older installer");

    ClickButton(m_main, IDC_DOWNLOAD);
    HWND saveAs = WaitForSaveAs();
    ASSERT_NE(nullptr, saveAs);
    ChooseFile(saveAs, target);
    // The overwrite question belongs to the Save As dialog, with Yes and No.
    HWND question = WaitForThreadDialog(m_program.thread(), [saveAs](HWND w) {
        return w != saveAs && GetWindow(w, GW_OWNER) == saveAs && HasControl(w, IDYES) && HasControl(w, IDNO);
    });
    ASSERT_NE(nullptr, question);
    Shot("overwrite-question");
    EXPECT_TRUE(m_server.Requests().empty());
    ClickButton(question, IDYES);

    HWND complete = WaitForComplete();
    ASSERT_NE(nullptr, complete);
    PressKey(complete, VK_ESCAPE);
    ASSERT_TRUE(m_program.HasExited(15000));
    EXPECT_EQ(installer, ReadWholeFile(target));
}

TEST_F(EndToEndTest, NetworkFailureReportsItAndTheNextPressChecksTheCameraAgain)
{
    m_server.SetBehaviour(HttpBehaviour::Status(404, "not here"));
    PlugSupportedCamera();
    DownloadTo(Path(INSTALLER_FILE_NAME));

    HWND message = WaitForMessageBox();
    ASSERT_NE(nullptr, message);
    Shot("network-error");
    EXPECT_EQ(kNetworkErrorText, MessageBoxText(message));
    ClickButton(message, IDOK);
    ASSERT_TRUE(WaitUntilClosed(message));
    ExpectMainDialogBackAlone();
    EXPECT_TRUE(IsWindowVisible(m_main));
    EXPECT_TRUE(FilesIn(m_folder).empty());
    DownloadTo(Path(INSTALLER_FILE_NAME));  // the button itself takes the press: Save As again, and the same failure
    ClickButton(WaitForMessageBox(), IDOK);

    // Unplugged now: the next press runs the device check again.
    SimulatedCamera::Unplug(kCameraKey);
    ClickButton(m_main, IDC_DOWNLOAD);
    HWND check = WaitForConnectCheck();
    ASSERT_NE(nullptr, check);
    Shot("connection-check-again");
    ClickButton(check, IDCANCEL);
    ASSERT_TRUE(WaitUntilClosed(check));
    ExpectMainDialogBackAlone();
}

TEST_F(EndToEndTest, CancelDuringAStalledDownloadReturnsAndClosingLeavesNoFile)
{
    m_server.SetBehaviour(HttpBehaviour::Stalled(PatternBody(300000), 70000));
    PlugSupportedCamera();
    DownloadTo(Path(INSTALLER_FILE_NAME));

    HWND progress = WaitForProgress();
    ASSERT_NE(nullptr, progress);
    ASSERT_TRUE(m_server.WaitForStall());
    // The bar shows the first read's share from the dialog's next tick on.
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(10))
        if (SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_GETPOS, 0, 0)) break;
    Shot("progress-stalled");
    const DWORD pressed = GetTickCount();
    ClickButton(progress, IDCANCEL);
    ASSERT_TRUE(WaitUntilClosed(progress));
    EXPECT_LT(GetTickCount() - pressed, 3000u);
    ExpectMainDialogBackAlone();
    Shot("main-after-cancel");

    // The command has returned with the main dialog back: nothing follows; Download starts it again.
    EXPECT_EQ(nullptr, WaitForMessageBox(0));
    ClickButton(m_main, IDC_DOWNLOAD);
    HWND saveAs = WaitForSaveAs();
    ASSERT_NE(nullptr, saveAs);
    PressKey(saveAs, VK_ESCAPE);
    ASSERT_TRUE(WaitUntilClosed(saveAs));

    // The worker still waits in the stalled read (for up to 30 s) when the
    // user closes the program: the program ends at once all the same, and
    // nothing of the transfer is left behind.
    ClickButton(m_main, IDCANCEL);
    ASSERT_TRUE(m_program.HasExited(3000));
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

TEST_F(EndToEndTest, TargetThatCannotBeWrittenIsAFileErrorAndStaysAsItWas)
{
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(5000)));
    PlugSupportedCamera();
    const std::string target = Path(INSTALLER_FILE_NAME);
    WriteWholeFile(target, "kept");
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));

    ClickButton(m_main, IDC_DOWNLOAD);
    HWND saveAs = WaitForSaveAs();
    ASSERT_NE(nullptr, saveAs);
    ChooseFile(saveAs, target);
    HWND question = WaitForThreadDialog(m_program.thread(), [saveAs](HWND w) {
        return w != saveAs && GetWindow(w, GW_OWNER) == saveAs && HasControl(w, IDYES);
    });
    ASSERT_NE(nullptr, question);
    ClickButton(question, IDYES);

    HWND message = WaitForMessageBox();
    ASSERT_NE(nullptr, message);
    Shot("file-error");
    EXPECT_EQ(kFileErrorText, MessageBoxText(message));
    ClickButton(message, IDOK);
    ASSERT_TRUE(WaitUntilClosed(message));
    ExpectMainDialogBackAlone();
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ("kept", ReadWholeFile(target));
    EXPECT_EQ(std::vector<std::string>{INSTALLER_FILE_NAME}, FilesIn(m_folder));
}

TEST_F(EndToEndTest, InstallerThatCannotBeStartedIsReportedAndNoOtherFileStartsInItsPlace)
{
    const std::string notAProgram = "this is not a program";
    m_server.SetBehaviour(HttpBehaviour::Whole(notAProgram));
    PlugSupportedCamera();
    const std::string target = Path(INSTALLER_FILE_NAME), swapped = Path("swapped.exe");
    WriteWholeFile(swapped, MarkProgramBytes());
    DownloadTo(target);

    // Unplugging now changes nothing: the check was made before Save As.
    SimulatedCamera::Unplug(kCameraKey);
    RunFromTheCompletionDialog();
    if (HasFatalFailure()) return;

    // It carries no signature: the user is asked first and runs it anyway.
    HWND question = WaitForMessageBox();
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(kNotTheExpectedInstallerText, MessageBoxText(question));
    // Meanwhile no other program can change the checked file or replace it.
    HANDLE writer = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(MoveFileA(target.c_str(), Path("aside.exe").c_str()));
    EXPECT_FALSE(MoveFileExA(swapped.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
    ClickButton(question, IDYES);
    ASSERT_TRUE(WaitUntilClosed(question));

    HWND message = WaitForMessageBox();
    ASSERT_NE(nullptr, message);
    Shot("cannot-run-setup");
    EXPECT_EQ(kCannotRunSetupText, MessageBoxText(message));
    ClickButton(message, IDOK);
    ASSERT_TRUE(m_program.HasExited(15000));
    EXPECT_EQ(notAProgram, ReadWholeFile(target));
    EXPECT_TRUE(NoProcessRuns(INSTALLER_FILE_NAME));
    EXPECT_FALSE(FileExists(target + ".ran"));
}

// Validly signed by the maker under a root the system trusts, but another
// version than the pinned one (an older one with a known hole, say).
TEST_F(EndToEndTest, InstallerOtherThanThePinnedOneAsksBeforeRunningAndNoKeepsItUnstarted)
{
    const std::string installer = ReadWholeFile(WindowsPath(VERSION_2_MARK_PROGRAM));
    ASSERT_FALSE(installer.empty());
    m_server.SetBehaviour(HttpBehaviour::Whole(installer));
    PlugSupportedCamera();
    const std::string target = Path(INSTALLER_FILE_NAME);
    DownloadTo(target);
    RunFromTheCompletionDialog();
    if (HasFatalFailure()) return;

    HWND question = WaitForMessageBox();
    ASSERT_NE(nullptr, question);
    Shot("not-the-expected-installer");
    EXPECT_EQ(kNotTheExpectedInstallerText, MessageBoxText(question));
    EXPECT_TRUE(HasControl(question, IDYES) && HasControl(question, IDNO));
    // No is the default answer: Enter gives it.
    PressKey(question, VK_RETURN);

    DWORD exitCode = 99;
    ASSERT_TRUE(m_program.HasExited(15000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_TRUE(NoProcessRuns(INSTALLER_FILE_NAME));
    EXPECT_FALSE(FileExists(target + ".ran"));
    EXPECT_EQ(installer, ReadWholeFile(target));
}

// Refused before anything is downloaded: a path of MAX_PATH units or more, or in
// a folder too long for GetTempFileNameW (MAX_PATH - 14 units); a missing folder,
// which Save As lets pass, once the download finds it, before it writes anything.
TEST_F(EndToEndTest, PathsThatCannotBeUsedAreRefusedAndTheMainDialogReturns)
{
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(5000)));
    PlugSupportedCamera();
    const auto expectRefused = [&](const std::wstring& path, const char* text) {
        DownloadTo(path);
        HWND message = WaitForMessageBox();
        ASSERT_NE(nullptr, message);
        Shot("refused");
        EXPECT_EQ(text, MessageBoxText(message));
        ClickButton(message, IDOK);
        ExpectMainDialogBackAlone();
    };
    // A longer name cannot be tried here: Wine's Save As copies it into a
    // MAX_PATH buffer on its own stack, whatever the buffer it is given.
    const std::wstring folder = Wide(m_folder) + L"\\";
    const std::wstring longFolder = folder + std::wstring(MAX_PATH - 10 - folder.size(), L'b');
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(
        expectRefused(folder + std::wstring(MAX_PATH - folder.size() - 4, L'a') + L".exe", kInvalidFileNameText));
    ASSERT_NO_FATAL_FAILURE(expectRefused(longFolder + L"\\abcd.exe", kInvalidFileNameText));
    EXPECT_TRUE(m_server.Requests().empty());
    RemoveDirectoryW(longFolder.c_str());

    expectRefused(Wide(Path("no-such-folder\\installer.exe")), kFileErrorText);
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

// The installer saved into a folder that the system's ANSI code page cannot
// name, checked and started from there: ダウンロード on an English system
// (code page 1252; a ctest entry of its own runs this case so), and on a
// Japanese one (932) a folder with 𠮷, which lies outside the BMP, and é.
TEST_F(EndToEndTest, FolderTheCodePageCannotNameGetsTheInstallerSavedCheckedAndStarted)
{
    const std::string installer = MarkProgramBytes();
    ASSERT_FALSE(installer.empty());
    m_server.SetBehaviour(HttpBehaviour::Whole(installer));
    PlugSupportedCamera();

    const std::wstring name = GetACP() == 1252 ? L"ダウンロード" : L"\U00020BB7田 Café";
    BOOL unrepresentable = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, &unrepresentable);
    ASSERT_TRUE(unrepresentable) << "code page " << GetACP() << " can name the folder";
    const std::wstring folder = Wide(m_folder) + L"\\" + name, target = folder + L"\\" + Wide(INSTALLER_FILE_NAME);
    // What an earlier run left, which the rig's 8-bit clean-up cannot name.
    for (const std::wstring& leftover : {target, target + L".ran"}) DeleteFileW(leftover.c_str());
    RemoveDirectoryW(folder.c_str());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();

    DownloadTo(target);
    RunFromTheCompletionDialog();
    if (HasFatalFailure()) return;
    // Signed under the trusted root: started without a question.
    DWORD exitCode = 99;
    ASSERT_TRUE(m_program.HasExited(15000, &exitCode)) << "its message: " << MessageBoxText(WaitForMessageBox(0));
    EXPECT_EQ(0u, exitCode);
    std::ifstream saved(target.c_str(), std::ios::binary);
    EXPECT_EQ(installer, std::string(std::istreambuf_iterator<char>(saved), {}));
    EXPECT_TRUE(NoProcessRuns(INSTALLER_FILE_NAME));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((target + L".ran").c_str())) << "the installer did not run";
}

}  // namespace
