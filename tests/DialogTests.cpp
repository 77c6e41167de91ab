// The dialogs in their real modal loops, driven from a second thread with
// the messages that clicks and keys produce.
#include <gtest/gtest.h>
#include <windows.h>
#include <softpub.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "app/AboutDlg.h"
#include "app/DownloaderDlg.h"
#include "installer/InstallerStart.h"
#include "app/SmallDialogs.h"
#include "framework/AfxMessageBox.h"
#include "framework/CWideText.h"
#include "framework/CWinApp.h"
#include "res/resource.h"
#include "tests/support/DialogDriver.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/Screenshot.h"
#include "tests/support/SimulatedCamera.h"
#include "tests/support/TrustedRoot.h"

namespace {

CWinApp s_app;

const char kMainTitle[] = "ダウンローダー";
const char kConnectTitle[] = "接続確認";
const char kAboutTitle[] = "Downloaderのﾊﾞｰｼﾞｮﾝ情報";

POINT Centre(HWND window)
{
    RECT r;
    ::GetWindowRect(window, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

POINT WorkAreaCentre()
{
    RECT area;
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    return POINT{(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

typedef std::pair<int, int> IconSize;

IconSize IconSizeOf(HICON icon)
{
    ICONINFO info{};
    BITMAP image{};
    if (::GetIconInfo(icon, &info)) ::GetObjectA(info.hbmColor, sizeof image, &image);
    ::DeleteObject(info.hbmColor);
    ::DeleteObject(info.hbmMask);
    return IconSize(image.bmWidth, image.bmHeight);
}

// Fails the test (from the script thread) and unblocks the modal loop.
#define REQUIRE_WINDOW(window)                        \
    if (!(window)) {                                  \
        ADD_FAILURE() << #window " did not appear";   \
        CancelAllDialogs(DialogScript::MainThread()); \
        return;                                       \
    }

// Runs `dialog` as the application's main window while `script` drives its
// window from a second thread and ends it, which every way comes to Cancel.
void RunMainDialog(CDownloaderDlg& dialog, const std::function<void(HWND)>& script)
{
    s_app.m_pMainWnd = &dialog;
    {
        DialogScript driver([&] {
            HWND window = WaitForThreadWindow(DialogScript::MainThread(), kMainTitle);
            REQUIRE_WINDOW(window);
            script(window);
        });
        EXPECT_EQ(IDCANCEL, dialog.DoModal());
    }
    s_app.m_pMainWnd = nullptr;
}

// Runs the completion dialog once: ticks the box when asked, then ends it
// with `finish` (a key).
int RunCompletionDialog(bool tick, UINT finishKey, const std::function<void(HWND)>& check = nullptr)
{
    CCompleteDlg dialog;
    {
        DialogScript script([&] {
            HWND window = WaitForThreadWindow(DialogScript::MainThread(), kMainTitle);
            REQUIRE_WINDOW(window);
            EXPECT_EQ(BST_UNCHECKED, ::IsDlgButtonChecked(window, IDC_RUN_CHECK)) << "box must start clear";
            if (tick) {
                ClickButton(window, IDC_RUN_CHECK);
                for (int i = 0; i < 100 && ::IsDlgButtonChecked(window, IDC_RUN_CHECK) != BST_CHECKED; ++i) ::Sleep(10);
                EXPECT_EQ(BST_CHECKED, ::IsDlgButtonChecked(window, IDC_RUN_CHECK));
            }
            if (check) check(window);
            PressKey(window, finishKey);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        dialog.DoModal();
    }
    return dialog.m_bRun;
}

const wchar_t kBlockedText[] =
    L"ダウンロードしたファイルは、Windows によってブロックされたため実行できません。\n"
    L"ファイルは保存した場所に残っています。";
std::vector<std::tuple<HWND, UINT, std::wstring>> s_messageBoxes;  // owner, type and text of each box shown
DWORD s_dwShellError;

// Whether a window of the program was on screen when the box was asked for.
bool s_bWindowUpAtBox;
BOOL CALLBACK FindVisible(HWND window, LPARAM found)
{
    if (::IsWindowVisible(window)) *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}
int WINAPI RecordMessageBox(HWND owner, LPCWSTR text, LPCWSTR, UINT type)
{
    s_messageBoxes.emplace_back(owner, type, text);
    s_bWindowUpAtBox = false;
    ::EnumThreadWindows(::GetCurrentThreadId(), FindVisible, reinterpret_cast<LPARAM>(&s_bWindowUpAtBox));
    return IDNO;
}
LONG WINAPI ExplicitlyDistrusted(HWND, GUID*, LPVOID data)
{
    return static_cast<WINTRUST_DATA*>(data)->dwStateAction == WTD_STATEACTION_CLOSE ? 0 : TRUST_E_EXPLICIT_DISTRUST;
}
// What the shell was asked to start, and whether its window was one the
// user sees: visible and active. The file stays held meanwhile.
std::wstring s_started;
bool s_bOwnerShown, s_bHeld;
ULONG s_fStartMask;
BOOL WINAPI RecordStart(SHELLEXECUTEINFOW* execute)
{
    s_started = execute->lpFile;
    s_bOwnerShown = ::IsWindowVisible(execute->hwnd) && ::GetActiveWindow() == execute->hwnd;
    s_fStartMask = execute->fMask;
    HANDLE writer = ::CreateFileW(execute->lpFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    s_bHeld = writer == INVALID_HANDLE_VALUE;
    if (!s_bHeld) ::CloseHandle(writer);
    ::SetLastError(s_dwShellError);
    return s_dwShellError == 0;
}
// The final name fails for the kinds asked (FILE_NAME_OPENED or 0 for the
// normalised), as over a home share, or is too long for the shell.
std::vector<DWORD> s_finalNameKinds;
DWORD s_dwFailingKinds;
bool s_bLongFinalName;
decltype(&::GetFinalPathNameByHandleW) s_finalName;
DWORD WINAPI FinalName(HANDLE file, LPWSTR name, DWORD size, DWORD flags)
{
    const DWORD kind = flags & FILE_NAME_OPENED;
    s_finalNameKinds.push_back(kind);
    if (s_dwFailingKinds & (kind ? 2 : 1)) return ::SetLastError(ERROR_ACCESS_DENIED), 0;
    if (!s_bLongFinalName) return s_finalName(file, name, size, flags);
    const std::wstring path = L"\\\\?\\C:\\" + std::wstring(MAX_PATH, L'a');
    if (size <= path.size()) return static_cast<DWORD>(path.size() + 1);
    name[path.copy(name, path.size())] = 0;
    return static_cast<DWORD>(path.size());
}
// A verification that waits for `s_hVerdictDue` before it runs.
HANDLE s_hVerificationBegun, s_hVerdictDue, s_hVerificationClosed;
decltype(&::WinVerifyTrust) s_verify;
LONG WINAPI LateVerdict(HWND window, GUID* action, LPVOID data)
{
    const bool closing = static_cast<WINTRUST_DATA*>(data)->dwStateAction == WTD_STATEACTION_CLOSE;
    if (!closing) ::SignalObjectAndWait(s_hVerificationBegun, s_hVerdictDue, INFINITE, FALSE);
    const LONG result = s_verify(window, action, data);
    if (closing) ::SetEvent(s_hVerificationClosed);
    return result;
}

}  // namespace

TEST(CompletionDialog, TickAndOkRunsTickAndEscapeDoesNot)
{
    EXPECT_EQ(1, RunCompletionDialog(true, VK_RETURN));
    EXPECT_EQ(0, RunCompletionDialog(true, VK_ESCAPE));
    EXPECT_EQ(0, RunCompletionDialog(false, VK_RETURN));
}

TEST(CompletionDialog, OkButtonClickExchangesTheCheckBox)
{
    CCompleteDlg dialog;
    INT_PTR result;
    {
        DialogScript script([&] {
            HWND window = WaitForThreadWindow(DialogScript::MainThread(), kMainTitle);
            REQUIRE_WINDOW(window);
            SaveScreenshot(ScreenshotFolder() + "/completion-dialog.bmp");
            ClickButton(window, IDC_RUN_CHECK);
            ClickButton(window, IDOK);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        result = dialog.DoModal();
    }
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1, dialog.m_bRun);
}

TEST(ConnectionCheckDialog, EnterRetriesEscapeAndCloseBoxCancel)
{
    struct Case {
        const char* name;
        void (*finish)(HWND);
        INT_PTR expected;
    } cases[] = {
        {"Enter", [](HWND w) { PressKey(w, VK_RETURN); }, IDOK},
        {"Escape", [](HWND w) { PressKey(w, VK_ESCAPE); }, IDCANCEL},
        {"close box", [](HWND w) { CloseWithCaptionButton(w); }, IDCANCEL},
        {"Retry button", [](HWND w) { ClickButton(w, IDOK); }, IDOK},
        {"Cancel button", [](HWND w) { ClickButton(w, IDCANCEL); }, IDCANCEL},
    };
    for (const Case& c : cases) {
        CConnectCheckDlg dialog;
        INT_PTR result;
        {
            DialogScript script([&] {
                HWND window = WaitForThreadWindow(DialogScript::MainThread(), kConnectTitle);
                REQUIRE_WINDOW(window);
                if (c.expected == IDOK && c.finish == cases[0].finish)
                    SaveScreenshot(ScreenshotFolder() + "/connection-check-dialog.bmp");
                c.finish(window);
                EXPECT_TRUE(WaitUntilClosed(window));
            });
            result = dialog.DoModal();
        }
        EXPECT_EQ(c.expected, result) << c.name;
    }
}

DWORD WINAPI RunDeviceGate(LPVOID result)
{
    ::CoInitialize(nullptr);
    *static_cast<bool*>(result) = WaitForSupportedDevice();
    ::CoUninitialize();
    return 0;
}

TEST(ConnectionCheckDialog, CheckThatCannotBeShownEndsTheDeviceGateAsCancel)
{
    // No camera, and the dialog's template cannot be found.
    SimulatedCamera::UnplugAll();
    CWinApp* app = AfxGetApp();
    const HINSTANCE saved = app->m_hInstance;
    app->m_hInstance = ::GetModuleHandleA("kernel32.dll");
    bool proceeded = true;
    HANDLE gate = ::CreateThread(nullptr, 0, RunDeviceGate, &proceeded, 0, nullptr);
    ASSERT_NE(nullptr, gate);
    const bool ended = ::WaitForSingleObject(gate, 10000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateThread(gate, 0);  // asking again for ever
    ::CloseHandle(gate);
    app->m_hInstance = saved;
    EXPECT_TRUE(ended);
    EXPECT_FALSE(proceeded);
}

// A window's text as the user sees it, read as Unicode.
std::wstring WideText(HWND window)
{
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

const char kNetworkErrorText[] = "[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。";

// Shows the network message once, from the thread whose modal loop runs.
void CALLBACK ShowNetworkErrorOnce(HWND, UINT, UINT_PTR timer, DWORD)
{
    ::KillTimer(nullptr, timer);
    AfxMessageBox(kNetworkErrorText, MB_OK);
}

BOOL CALLBACK CollectChildText(HWND child, LPARAM texts)
{
    reinterpret_cast<std::vector<std::wstring>*>(texts)->push_back(WideText(child));
    return TRUE;
}

// Run under code page 932 with the rest of the suite, and again under 1252
// (an English system), where an ANSI window would show only question marks.
TEST(UnicodeWindows, DialogAndMessageTextsAreJapaneseOnAnyCodePage)
{
    const wchar_t welcome[] =
        L"この度は弊社製品をご購入いただき、誠にありがとうございます。\n\nソフトウェアをダウンロードするには、"
        L"対応機種がパソコンに接続されている必要があります。お手持ちの対応機種をパソコンに接続し、「ダウンロード」"
        L"ボタンを押してください。";
    CDownloaderDlg dialog;
    s_app.m_pMainWnd = &dialog;
    {
        DialogScript script([&] {
            HWND window = WaitForThreadDialog(DialogScript::MainThread(),
                                              [](HWND w) { return ::GetDlgItem(w, IDC_DOWNLOAD) != nullptr; });
            REQUIRE_WINDOW(window);
            EXPECT_EQ(L"ダウンローダー", WideText(window));
            std::vector<std::wstring> texts;
            ::EnumChildWindows(window, CollectChildText, reinterpret_cast<LPARAM>(&texts));
            for (const wchar_t* expected : {welcome, L"ダウンロード", L"ｷｬﾝｾﾙ"})
                EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), expected)) << ::GetACP();

            // The program's message box over it.
            HWND box = WaitForThreadWindow(DialogScript::MainThread(), nullptr, 10000, window);
            REQUIRE_WINDOW(box);
            EXPECT_EQ(L"[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。",
                      WideText(::GetDlgItem(box, 0xFFFF)));
            ClickButton(box, IDOK);
            EXPECT_TRUE(WaitUntilClosed(box));
            ClickButton(window, IDCANCEL);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        // Fires inside the dialog's modal loop, so the box comes over it.
        ::SetTimer(nullptr, 0, USER_TIMER_MINIMUM, ShowNetworkErrorOnce);
        EXPECT_EQ(IDCANCEL, dialog.DoModal());
    }
    s_app.m_pMainWnd = nullptr;
}

TEST(MainDialog, EndsOnCancelEscapeAndCloseBox)
{
    const std::pair<const char*, void (*)(HWND)> endings[] = {
        {"Cancel button", [](HWND w) { ClickButton(w, IDCANCEL); }},
        {"Escape", [](HWND w) { PressKey(w, VK_ESCAPE); }},
        {"close box", [](HWND w) { CloseWithCaptionButton(w); }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.first);
        CDownloaderDlg dialog;
        RunMainDialog(dialog, [&](HWND window) {
            ending.second(window);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
    }
}

TEST(MainDialog, OpensCentredOnScreenWithItsIconAndBanner)
{
    CDownloaderDlg dialog;
    ASSERT_NE(nullptr, dialog.m_hIcon);
    RunMainDialog(dialog, [&](HWND window) {
        SaveScreenshot(ScreenshotFolder() + "/main-dialog.bmp");
        const POINT centre = Centre(window), screen = WorkAreaCentre();
        EXPECT_NEAR(screen.x, centre.x, 1);
        EXPECT_NEAR(screen.y, centre.y, 1);
        EXPECT_EQ(reinterpret_cast<LRESULT>(dialog.m_hIcon), ::SendMessageA(window, WM_GETICON, ICON_BIG, 0));
        EXPECT_EQ(reinterpret_cast<LRESULT>(dialog.m_hSmallIcon), ::SendMessageA(window, WM_GETICON, ICON_SMALL, 0));
        // Each at the system's size for it, which grows with the DPI.
        EXPECT_EQ(IconSize(::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON)), IconSizeOf(dialog.m_hIcon));
        EXPECT_EQ(IconSize(::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON)),
                  IconSizeOf(dialog.m_hSmallIcon));
        EXPECT_EQ(reinterpret_cast<LRESULT>(dialog.m_hIcon), ::SendMessageA(window, WM_QUERYDRAGICON, 0, 0));

        // The banner static takes its bitmap's size at the top left.
        HWND banner = nullptr;
        for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
            if ((::GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) banner = child;
        ASSERT_NE(nullptr, banner);
        RECT bannerRect;
        ::GetWindowRect(banner, &bannerRect);
        ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&bannerRect), 2);
        EXPECT_EQ(0, bannerRect.left);
        EXPECT_EQ(0, bannerRect.top);
        EXPECT_EQ(365, bannerRect.right - bannerRect.left);
        EXPECT_EQ(94, bannerRect.bottom - bannerRect.top);
        // The base unit the banner grows with is the dialog manager's.
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font);
        RECT fourUnits{0, 0, 4, 0};
        ::MapDialogRect(window, &fourUnits);
        EXPECT_EQ(fourUnits.right, DialogBaseUnitX(font, 96, 96));
        ClickButton(window, IDCANCEL);
        EXPECT_TRUE(WaitUntilClosed(window));
    });
}

TEST(MainDialog, AboutCommandRangeOpensOwnedCentredAboutBox)
{
    CDownloaderDlg dialog;
    RunMainDialog(dialog, [&](HWND window) {
        for (WPARAM command : {WPARAM(0x0010), WPARAM(0x001F)}) {
            ::PostMessageA(window, WM_SYSCOMMAND, command, 0);
            HWND about = WaitForThreadWindow(DialogScript::MainThread(), kAboutTitle);
            REQUIRE_WINDOW(about);
            if (command == 0x0010) SaveScreenshot(ScreenshotFolder() + "/about-box.bmp");
            // Ownerless in code, owned by the main window in fact; the
            // main window cannot be used behind it.
            EXPECT_EQ(window, ::GetWindow(about, GW_OWNER));
            EXPECT_FALSE(::IsWindowEnabled(window));
            const POINT aboutCentre = Centre(about), mainCentre = Centre(window);
            EXPECT_NEAR(mainCentre.x, aboutCentre.x, 1);
            EXPECT_NEAR(mainCentre.y, aboutCentre.y, 1);
            PressKey(about, VK_ESCAPE);
            EXPECT_TRUE(WaitUntilClosed(about));
            for (int i = 0; i < 100 && !::IsWindowEnabled(window); ++i) ::Sleep(10);
            EXPECT_TRUE(::IsWindowEnabled(window));
        }
        // 0x0020 is outside the about command's range: nothing opens, so
        // the command is handled at once rather than in an about box's loop.
        DWORD_PTR ignored;
        EXPECT_TRUE(::SendMessageTimeoutA(window, WM_SYSCOMMAND, 0x0020, 0, SMTO_NORMAL, 5000, &ignored));
        EXPECT_EQ(nullptr, WaitForThreadWindow(DialogScript::MainThread(), kAboutTitle, 0));
        // SC_CLOSE still gets the platform's processing: the dialog ends.
        ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(WaitUntilClosed(window));
    });
}

TEST(MainDialog, SystemMenuHasOnlyThePlatformsEntries)
{
    CDownloaderDlg dialog;
    RunMainDialog(dialog, [&](HWND window) {
        HMENU menu = ::GetSystemMenu(window, FALSE);
        ASSERT_NE(nullptr, menu);
        for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
            const UINT id = ::GetMenuItemID(menu, i);
            EXPECT_TRUE(id == 0 || id == static_cast<UINT>(-1) || id >= 0xF000) << "item " << i << " id " << id;
        }
        ClickButton(window, IDCANCEL);
        EXPECT_TRUE(WaitUntilClosed(window));
    });
}

TEST(MainDialog, MissingIconLeavesHandleNullWithoutCrash)
{
    // Loading through a module without the icon gives no handle; the
    // dialog still opens and minimised painting draws nothing.
    CWinApp* app = AfxGetApp();
    const HINSTANCE saved = app->m_hInstance;
    app->m_hInstance = ::GetModuleHandleA("kernel32.dll");
    CDownloaderDlg dialog;
    app->m_hInstance = saved;
    EXPECT_EQ(nullptr, dialog.m_hIcon);

    RunMainDialog(dialog, [&](HWND window) {
        ::PostMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        for (int i = 0; i < 100 && !::IsIconic(window); ++i) ::Sleep(10);
        // Painted before this returns: the minimised painting has run.
        ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(WaitUntilClosed(window));
    });
}

TEST(ProgressTemplate, ProgressBarClassIsAvailableToDialogs)
{
    // The progress dialog's template names the common-controls progress
    // bar; the framework registers it before the first dialog opens.
    class ProbeDialog : public CDialog {
    public:
        ProbeDialog() : CDialog(IDD_PROGRESS) {}
        HWND bar = nullptr;

    protected:
        BOOL OnInitDialog() override
        {
            bar = GetDlgItem(IDC_PROGRESS);
            EndDialog(IDCANCEL);
            return TRUE;
        }
    } dialog;
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    EXPECT_NE(nullptr, dialog.bar);
}

// While the main dialog is hidden, every question needs a task-bar button
// (Windows gives one to a visible top-level window that is unowned or has
// WS_EX_APPWINDOW, and not WS_EX_TOOLWINDOW).
TEST(HiddenMainDialog, QuestionsHaveTaskbarButtonsAndAFileWindowsBlocksIsNotOffered)
{
    CWnd hidden(::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr));
    s_app.m_pMainWnd = &hidden;
    RunCompletionDialog(false, VK_ESCAPE, [&](HWND window) {
        EXPECT_EQ(hidden.m_hWnd, ::GetWindow(window, GW_OWNER));  // kept disabled meanwhile
        EXPECT_EQ(WS_EX_APPWINDOW, ::GetWindowLongPtrW(window, GWL_EXSTYLE) & (WS_EX_APPWINDOW | WS_EX_TOOLWINDOW));
    });

    ImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<const void*>(&RecordMessageBox));
    ImportPatch verify("wintrust.dll", "WinVerifyTrust", reinterpret_cast<const void*>(&ExplicitlyDistrusted));
    ImportPatch shell("shell32.dll", "ShellExecuteExW", reinterpret_cast<const void*>(&RecordStart));
    ASSERT_TRUE(box.Applied() && verify.Applied() && shell.Applied());
    wchar_t file[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, file, MAX_PATH);
    // Blocked by Windows: said so with OK alone, in an unowned box that asks
    // for the foreground, and not run.
    CInstallerStart(file).Run();
    ASSERT_EQ(1u, s_messageBoxes.size());
    EXPECT_EQ(nullptr, std::get<0>(s_messageBoxes[0]));
    EXPECT_EQ(UINT(MB_OK | MB_SETFOREGROUND), std::get<1>(s_messageBoxes[0]) & UINT(MB_TYPEMASK | MB_SETFOREGROUND));
    EXPECT_EQ(kBlockedText, std::get<2>(s_messageBoxes[0]));
    EXPECT_TRUE(s_started.empty());
    s_messageBoxes.clear();
    s_app.m_pMainWnd = nullptr;
    ::DestroyWindow(hidden.m_hWnd);
}

TEST(InstallerStart, StartsThroughAWindowTheUserSeesWithEachNameFallbackAndError)
{
    TrustedRoot root(WindowsPath(TEST_ROOT_CERTIFICATE));
    ASSERT_TRUE(root.trusted());
    ImportPatch box("user32.dll", "MessageBoxW", reinterpret_cast<const void*>(&RecordMessageBox));
    ImportPatch shell("shell32.dll", "ShellExecuteExW", reinterpret_cast<const void*>(&RecordStart));
    ImportPatch name("kernel32.dll", "GetFinalPathNameByHandleW", reinterpret_cast<const void*>(&FinalName));
    ASSERT_TRUE(box.Applied() && shell.Applied() && name.Applied());
    s_finalName = name.Original<decltype(s_finalName)>();
    const std::wstring saved = CWideText(WindowsPath(SIGNED_MARK_PROGRAM).c_str(), CP_ACP).operator LPCWSTR();
    const std::wstring blocked = kBlockedText, blockedGone = blocked.substr(0, blocked.find(L'\n'));
    struct Case {
        DWORD dwFailingKinds;
        bool bLong;
        DWORD dwShellError;
        std::vector<DWORD> kinds;
        std::wstring message;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0, false, 0, {0}, L""},
             {1, false, 0, {0, FILE_NAME_OPENED}, L""},
             {3, false, 0, {0, FILE_NAME_OPENED}, L""},
             {0, true, 0, {0, 0, FILE_NAME_OPENED, FILE_NAME_OPENED}, L""},  // asked again with room for it
             {0, false, ERROR_CANCELLED, {0}, L""},
             {0, false, ERROR_ACCESS_DISABLED_BY_POLICY, {0}, blocked},
             {0, false, 225 /* ERROR_VIRUS_INFECTED */, {0}, blocked},
             {0, false, 226 /* ERROR_VIRUS_DELETED */, {0}, blockedGone},
             {0, false, ERROR_ACCESS_DENIED, {0}, L"セットアップを実行できませんでした。"}}) {
        s_dwFailingKinds = c.dwFailingKinds;
        s_bLongFinalName = c.bLong;
        s_dwShellError = c.dwShellError;
        s_finalNameKinds.clear();
        s_started.clear();
        s_bOwnerShown = s_bHeld = false;
        CInstallerStart(saved.c_str()).Run();
        EXPECT_EQ(saved, s_started) << c.dwFailingKinds << c.bLong << c.dwShellError;
        EXPECT_EQ(c.kinds, s_finalNameKinds);
        EXPECT_TRUE(s_bOwnerShown && s_bHeld);
        // The shell's checks of a downloaded file run; its error boxes do not
        // double the program's messages (security prompts are exempt).
        EXPECT_EQ(UINT(SEE_MASK_FLAG_NO_UI), s_fStartMask & (SEE_MASK_NOZONECHECKS | SEE_MASK_FLAG_NO_UI));
        EXPECT_EQ(c.message.empty() ? 0u : 1u, s_messageBoxes.size());
        if (!s_messageBoxes.empty()) {
            EXPECT_EQ(c.message, std::get<2>(s_messageBoxes[0]));
        }
        s_messageBoxes.clear();
    }
    s_dwShellError = 0;
    s_dwFailingKinds = 0;
    s_bLongFinalName = false;

    // A file that cannot be opened cannot start: no question. Anything but
    // the pinned installer signed by the maker is asked about, with No the
    // default: another publisher's, another version of the maker's, the
    // pinned one with data added inside its signature or with none.
    s_started.clear();
    CInstallerStart((saved + L".missing").c_str()).Run();
    ASSERT_EQ(1u, s_messageBoxes.size());
    EXPECT_EQ(L"セットアップを実行できませんでした。", std::get<2>(s_messageBoxes[0]));
    for (const char* other :
         {OTHER_PUBLISHER_MARK_PROGRAM, VERSION_2_MARK_PROGRAM, PADDED_MARK_PROGRAM, MARK_PROGRAM}) {
        s_messageBoxes.clear();
        CInstallerStart(CWideText(WindowsPath(other).c_str(), CP_ACP)).Run();
        ASSERT_EQ(1u, s_messageBoxes.size()) << other;
        EXPECT_EQ(UINT(MB_YESNO | MB_DEFBUTTON2), std::get<1>(s_messageBoxes[0]) & UINT(MB_TYPEMASK | MB_DEFMASK));
        const std::wstring text = std::get<2>(s_messageBoxes[0]);
        EXPECT_EQ(L"ダウンロードしたファイルは、このプログラムが配布するセットアップではありません。",
                  text.substr(0, text.find(L'\n')));
    }
    EXPECT_TRUE(s_started.empty());
    s_messageBoxes.clear();
    // The pinned installer signed again by a renewed maker certificate starts unasked.
    const std::wstring renewed = CWideText(WindowsPath(RENEWED_MARK_PROGRAM).c_str(), CP_ACP).operator LPCWSTR();
    CInstallerStart(renewed.c_str()).Run();
    EXPECT_EQ(renewed, s_started);
    EXPECT_TRUE(s_messageBoxes.empty());
    s_started.clear();

    // A verdict not yet in: a window says so and offers Stop (a click or
    // Escape), which means not to run it; a verdict that comes in meanwhile
    // starts the file; one that does not come in time is asked about, with
    // the window on screen until the question is.
    ImportPatch verify("wintrust.dll", "WinVerifyTrust", reinterpret_cast<const void*>(&LateVerdict));
    ASSERT_TRUE(verify.Applied());
    s_verify = verify.Original<decltype(s_verify)>();
    enum Ending { STOP_CLICKED, ESCAPE, VERDICT_IN, TIME_OUT };
    for (const Ending ending : {STOP_CLICKED, ESCAPE, VERDICT_IN, TIME_OUT}) {
        s_hVerificationBegun = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s_hVerdictDue = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s_hVerificationClosed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HWND shown = nullptr;
        {
            // Begun as the file is held, before anyone asks to run it.
            CInstallerStart installer(saved.c_str(), ending == TIME_OUT ? 500 : SIGNATURE_CHECK_TIMEOUT_MS);
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(s_hVerificationBegun, 10000));
            DialogScript script([&] {
                shown = WaitForThreadWindow(DialogScript::MainThread(), kMainTitle);
                EXPECT_NE(nullptr, shown) << "no window while the file is checked";
                EXPECT_EQ("ダウンロードしたファイルを確認しています…", WindowText(::GetDlgItem(shown, 100)));
                EXPECT_EQ("中止", WindowText(::GetDlgItem(shown, IDCANCEL)));
                if (!shown) return;
                if (ending == STOP_CLICKED) ClickButton(shown, IDCANCEL);
                if (ending == ESCAPE) PressKey(shown, VK_ESCAPE);
                if (ending == VERDICT_IN) ::SetEvent(s_hVerdictDue);
            });
            installer.Run();
        }
        ::SetEvent(s_hVerdictDue);
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(s_hVerificationClosed, 10000));
        EXPECT_EQ(ending != VERDICT_IN, s_started.empty()) << ending;
        EXPECT_TRUE(ending != VERDICT_IN || s_bOwnerShown);
        EXPECT_EQ(ending == TIME_OUT ? 1u : 0u, s_messageBoxes.size()) << ending;
        EXPECT_TRUE(ending != TIME_OUT || s_bWindowUpAtBox) << "nothing on screen before the question";
        s_messageBoxes.clear();
        EXPECT_FALSE(::IsWindow(shown));
        s_started.clear();
        for (HANDLE event : {s_hVerificationBegun, s_hVerdictDue, s_hVerificationClosed}) ::CloseHandle(event);
    }
}
