// The progress dialog in its real modal loop, running the real worker
// against a loopback server, driven from a second thread.
// Winsock's header must come before the one for windows.h.
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <oleacc.h>
#include <shobjidl.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>

#include "download/ProgressDlg.h"
#include "framework/CWideText.h"
#include "framework/CWinApp.h"
#include "framework/WorkerThreads.h"
#include "res/resource.h"
#include "tests/support/ClassObject.h"
#include "tests/support/DialogDriver.h"
#include "tests/support/DownloadTestRig.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/ProgramProcess.h"
#include "tests/support/Screenshot.h"

namespace {

CWinApp s_app;

const char kTitle[] = "ダウンローダー";
const char kNetworkErrorText[] = "[ネットワーク接続エラー]\n\nネットワーク接続に問題がないか確認してください。";
const char kFileErrorText[] =
    "[ファイルI/Oエラー]\n\nファイルを保存することができません。\nファイルへの書き込み権限などをご確認ください。";
const char kBlockedFileText[] =
    "ダウンロードしたファイルは、Windows またはウイルス対策ソフトによってブロックされました。\n"
    "このファイルは実行できません。";
const char kSourceUrl[] =
    "http://download.zembra.example/support/download/peripheral/pccamera/camvista/soft/QuilloCamKitSetup121.exe";

int BarPosition(HWND dialog)
{
    return static_cast<int>(::SendMessageA(::GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

bool WaitForBar(HWND dialog, int position, DWORD timeoutMs = 10000)
{
    const DWORD start = ::GetTickCount();
    while (BarPosition(dialog) != position) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(5);
    }
    return true;
}

std::string operator+(const CString& text, const char* more)
{
    return std::string(text.GetString()) + more;
}

std::string StatusText(HWND dialog)
{
    return WindowText(::GetDlgItem(dialog, IDC_DOWNLOAD_STATUS));
}

// Waits until `read` gives `expected`, polling as WaitForBar does; what it last gave.
std::string WaitForText(const std::function<std::string()>& read, const std::string& expected)
{
    std::string text;
    for (const DWORD start = ::GetTickCount(); (text = read()) != expected && ::GetTickCount() - start < 10000;)
        ::Sleep(5);
    return text;
}

// What Active Accessibility clients (NVDA among them) read as the control's name.
std::wstring AccessibleName(HWND control)
{
    IAccessible* accessible = nullptr;
    // IID_IAccessible, which two of MinGW's import libraries both define.
    const IID accessibleInterface = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    if (FAILED(::AccessibleObjectFromWindow(control, OBJID_CLIENT, accessibleInterface,
                                            reinterpret_cast<void**>(&accessible))))
        return L"(no accessible object)";
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    std::wstring text = SUCCEEDED(accessible->get_accName(self, &name)) && name ? name : L"(no name)";
    ::SysFreeString(name);
    accessible->Release();
    return text;
}

// NotifyWinEvent as the program calls it: the live-region announcements of
// the status line, counted.
std::atomic<int> s_nStatusAnnouncements{0};
void WINAPI CountAnnouncements(DWORD event, HWND hWnd, LONG idObject, LONG idChild)
{
    if (event == 0x8019 /* EVENT_OBJECT_LIVEREGIONCHANGED */ && ::GetDlgCtrlID(hWnd) == IDC_DOWNLOAD_STATUS &&
        idObject == OBJID_CLIENT && idChild == CHILDID_SELF)
        ++s_nStatusAnnouncements;
}

// CreateThread for the program's code in this test (only the download
// worker), failing as it does when the system is out of resources.
HANDLE WINAPI FailDownloadThreads(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// The dialog with the positions its bar is set to recorded, in order, and a
// hook that runs on the dialog's thread once it is initialised, before the
// modal loop first shows it.
class ObservedProgressDlg : public CProgressDlg {
public:
    explicit ObservedProgressDlg(const DownloadSettings& settings = {NETWORK_TIMEOUT_MS, 10})
        : CProgressDlg(nullptr, settings)
    {
    }
    using CProgressDlg::m_hThread;
    using CProgressDlg::m_nResult;
    std::function<void(HWND)> m_afterInit;
    std::vector<WPARAM> m_barPositions;

protected:
    BOOL OnInitDialog() override
    {
        const BOOL result = CProgressDlg::OnInitDialog();
        ::SetWindowSubclass(m_progress.m_hWnd, RecordPosition, 0, reinterpret_cast<DWORD_PTR>(this));
        if (m_afterInit) m_afterInit(m_hWnd);
        return result;
    }

private:
    static LRESULT CALLBACK RecordPosition(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                           DWORD_PTR data)
    {
        if (message == PBM_SETPOS) reinterpret_cast<ObservedProgressDlg*>(data)->m_barPositions.push_back(wParam);
        if (message == WM_NCDESTROY) ::RemoveWindowSubclass(hWnd, RecordPosition, id);
        return ::DefSubclassProc(hWnd, message, wParam, lParam);
    }
};

// The shell's task-bar list as strict as Windows documents it: HrInit before
// any other call, and calls only for the window the test names. The calls
// are logged in order; references are counted, and the object is a new one
// again (needing HrInit) once the last is released.
class FakeTaskbarList final : public ITaskbarList3 {
public:
    HWND m_hWndExpected = nullptr;
    HRESULT m_hrInit = S_OK;

    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    ULONG References() const { return m_nRefs; }
    bool OverReleased() const { return m_bOverReleased; }

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        if (riid == IID_IUnknown || riid == __uuidof(ITaskbarList) || riid == __uuidof(ITaskbarList2) ||
            riid == __uuidof(ITaskbarList3)) {
            *out = static_cast<ITaskbarList3*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_nRefs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        if (m_nRefs == 0) {
            m_bOverReleased = true;
            return 0;
        }
        if (--m_nRefs == 0) m_bInitialised = false;
        return m_nRefs;
    }

    STDMETHODIMP HrInit() override
    {
        Log("HrInit");
        m_bInitialised = SUCCEEDED(m_hrInit);
        return m_hrInit;
    }
    STDMETHODIMP SetProgressState(HWND hWnd, TBPFLAG state) override
    {
        return Call(hWnd, "state " + std::to_string(state));
    }
    STDMETHODIMP SetProgressValue(HWND hWnd, ULONGLONG completed, ULONGLONG total) override
    {
        return Call(hWnd, "value " + std::to_string(completed) + "/" + std::to_string(total));
    }
    // Nothing else is the dialog's business.
    STDMETHODIMP AddTab(HWND) override { return Unexpected("AddTab"); }
    STDMETHODIMP DeleteTab(HWND) override { return Unexpected("DeleteTab"); }
    STDMETHODIMP ActivateTab(HWND) override { return Unexpected("ActivateTab"); }
    STDMETHODIMP SetActiveAlt(HWND) override { return Unexpected("SetActiveAlt"); }
    STDMETHODIMP MarkFullscreenWindow(HWND, WINBOOL) override { return Unexpected("MarkFullscreenWindow"); }
    STDMETHODIMP RegisterTab(HWND, HWND) override { return Unexpected("RegisterTab"); }
    STDMETHODIMP UnregisterTab(HWND) override { return Unexpected("UnregisterTab"); }
    STDMETHODIMP SetTabOrder(HWND, HWND) override { return Unexpected("SetTabOrder"); }
    STDMETHODIMP SetTabActive(HWND, HWND, DWORD) override { return Unexpected("SetTabActive"); }
    STDMETHODIMP ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return Unexpected("ThumbBarAddButtons"); }
    STDMETHODIMP ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override
    {
        return Unexpected("ThumbBarUpdateButtons");
    }
    STDMETHODIMP ThumbBarSetImageList(HWND, HIMAGELIST) override { return Unexpected("ThumbBarSetImageList"); }
    STDMETHODIMP SetOverlayIcon(HWND, HICON, LPCWSTR) override { return Unexpected("SetOverlayIcon"); }
    STDMETHODIMP SetThumbnailTooltip(HWND, LPCWSTR) override { return Unexpected("SetThumbnailTooltip"); }
    STDMETHODIMP SetThumbnailClip(HWND, RECT*) override { return Unexpected("SetThumbnailClip"); }

private:
    HRESULT Call(HWND hWnd, std::string call)
    {
        if (!m_bInitialised) return Unexpected(call + " before HrInit");
        if (hWnd != m_hWndExpected) return Unexpected(call + " for another window");
        Log(call);
        return S_OK;
    }
    HRESULT Unexpected(const std::string& call)
    {
        Log("unexpected " + call);
        return E_UNEXPECTED;
    }
    void Log(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    ULONG m_nRefs = 0;
    bool m_bOverReleased = false;
    bool m_bInitialised = false;
};

// Attachment Services: calls and references counted, each call's apartment
// and thread recorded; Save waits, may fail or remove the file.
class FakeAttachmentServices final : public IAttachmentExecute {
public:
    std::vector<std::wstring> m_calls;
    std::vector<std::pair<APTTYPE, DWORD>> m_callsIn;
    HRESULT m_hrSave = S_OK;
    bool m_bRemoveFile = false;
    volatile LONG m_nRefs = 0;
    HANDLE m_hSaveEntered = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE m_hSaveReleased = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        *out = riid == IID_IUnknown || riid == IID_IAttachmentExecute ? (AddRef(), this) : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_nRefs); }
    STDMETHODIMP_(ULONG) Release() override { return ::InterlockedDecrement(&m_nRefs); }
    STDMETHODIMP SetClientGuid(REFGUID guid) override { return Log(guid != GUID_NULL ? L"SetClientGuid" : L"null"); }
    STDMETHODIMP SetLocalPath(LPCWSTR path) override { return Log(L"SetLocalPath " + (m_path = path)); }
    STDMETHODIMP SetSource(LPCWSTR source) override { return Log(std::wstring(L"SetSource ") + source); }
    STDMETHODIMP Save() override
    {
        Log(L"Save");
        ::SignalObjectAndWait(m_hSaveEntered, m_hSaveReleased, 20000, FALSE);
        if (m_bRemoveFile) ::DeleteFileW(m_path.c_str());
        return m_hrSave;
    }
    // Nothing else is the program's business.
    STDMETHODIMP SetClientTitle(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP SetFileName(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP SetReferrer(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP CheckPolicy() override { return Log(L"unexpected"); }
    STDMETHODIMP Prompt(HWND, ATTACHMENT_PROMPT, ATTACHMENT_ACTION*) override { return Log(L"unexpected"); }
    STDMETHODIMP Execute(HWND, LPCWSTR, HANDLE*) override { return Log(L"unexpected"); }
    STDMETHODIMP SaveWithUI(HWND) override { return Log(L"unexpected"); }
    STDMETHODIMP ClearClientState() override { return Log(L"unexpected"); }
    std::wstring m_path;
    HRESULT Log(const std::wstring& call)
    {
        m_calls.push_back(call);
        APTTYPE apartment = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier;
        ::CoGetApartmentType(&apartment, &qualifier);
        m_callsIn.emplace_back(apartment, ::GetCurrentThreadId());
        return call == L"unexpected" ? E_UNEXPECTED : S_OK;
    }
};

// `classObject` registered as Windows registers Attachment Services: an
// in-process server with ThreadingModel=Apartment under HKLM\Software\Classes
// (Wine's COM reads no user classes), while this lives.
class RegisteredAttachmentServices {
public:
    explicit RegisteredAttachmentServices(IClassFactory* classObject)
    {
        const std::wstring server = CWideText(WindowsPath(INPROC_SERVER).c_str(), CP_ACP).operator LPCWSTR();
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, CLASS_KEY);
        const auto set = [&](LPCWSTR name, const std::wstring& value) {
            return !::RegSetKeyValueW(HKEY_LOCAL_MACHINE, SERVER_KEY, name, REG_SZ, value.c_str(),
                                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        };
        HMODULE module = ::LoadLibraryW(server.c_str());
        const auto hand = reinterpret_cast<void (*)(IClassFactory*)>(
            reinterpret_cast<void*>(module ? ::GetProcAddress(module, "SetClassObject") : nullptr));
        if (hand) hand(classObject);
        m_bRegistered = hand && set(nullptr, server) && set(L"ThreadingModel", L"Apartment");
    }
    ~RegisteredAttachmentServices() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, CLASS_KEY); }
    bool m_bRegistered = false;

private:
#define ATTACHMENT_SERVICES_KEY L"Software\\Classes\\CLSID\\{4125DD96-E03A-4103-8F70-E0597D803B9C}"
    static constexpr LPCWSTR CLASS_KEY = ATTACHMENT_SERVICES_KEY;
    static constexpr LPCWSTR SERVER_KEY = ATTACHMENT_SERVICES_KEY L"\\InprocServer32";
};

// GetVolumeInformationByHandleW for a volume with named streams, unlike Wine's.
ImportPatch* s_volumeInformation = nullptr;

BOOL WINAPI VolumeWithNamedStreams(HANDLE file, LPWSTR name, DWORD nameSize, LPDWORD serial, LPDWORD length,
                                   LPDWORD flags, LPWSTR fileSystem, DWORD fileSystemSize)
{
    s_volumeInformation->Original<decltype(&::GetVolumeInformationByHandleW)>()(file, name, nameSize, serial, length,
                                                                                flags, fileSystem, fileSystemSize);
    *flags |= FILE_NAMED_STREAMS;
    return TRUE;
}

#define REQUIRE_WINDOW(window)                        \
    if (!(window)) {                                  \
        ADD_FAILURE() << #window " did not appear";   \
        CancelAllDialogs(DialogScript::MainThread()); \
        return;                                       \
    }

bool IsProgressWindow(HWND window)
{
    return ::GetDlgItem(window, IDC_PROGRESS) != nullptr;
}

// The progress dialog of the main thread, whether shown yet or not; its
// title changes with the percentage.
HWND ProgressWindow()
{
    HWND window = nullptr;
    while ((window = ::FindWindowExA(nullptr, window, "#32770", nullptr)) != nullptr) {
        if (::GetWindowThreadProcessId(window, nullptr) == DialogScript::MainThread() && IsProgressWindow(window))
            return window;
    }
    return nullptr;
}

class ProgressDialog : public LoopbackDownloadTest {
protected:
    // Runs `dialog` for the test's target while `script` drives its window
    // from a second thread; DoModal's result.
    INT_PTR RunDialog(CProgressDlg& dialog, const std::function<void(HWND)>& script)
    {
        dialog.m_strPath = CWideText(m_target.c_str(), CP_ACP);
        DialogScript driver([&] {
            HWND window = WaitForThreadDialog(DialogScript::MainThread(), IsProgressWindow);
            REQUIRE_WINDOW(window);
            script(window);
        });
        return dialog.DoModal();
    }

    // Runs the dialog for `path`; the script expects exactly one message box
    // with `expectedText` and the bar at `expectedBar` behind it, and
    // closes the box with OK.
    //
    // A worker that fails at once can end before the modal loop first finds
    // its queue empty, which is when the dialog manager shows a dialog (or
    // after it dispatched the first WM_TIMER). The first tick then brings
    // the box up while the dialog has not been shown: whether it has is a
    // matter of speed (it often has not under emulation), so the box is
    // found by its caption and the dialog whether visible or not.
    INT_PTR RunExpectingMessage(const std::string& path, const char* expectedText, int expectedBar,
                                const char* screenshot = nullptr, std::function<void(HWND)> afterInit = nullptr)
    {
        ObservedProgressDlg dialog;
        dialog.m_strPath = CWideText(path.c_str(), CP_ACP);
        dialog.m_afterInit = afterInit;
        DialogScript script([&] {
            HWND box = WaitForThreadWindow(DialogScript::MainThread(), AfxGetAppName());
            REQUIRE_WINDOW(box);
            if (screenshot) SaveScreenshot(ScreenshotFolder() + "/" + screenshot);
            EXPECT_EQ(expectedText, MessageBoxText(box));
            HWND window = ProgressWindow();
            EXPECT_NE(nullptr, window) << "the box comes before the dialog closes";
            if (window) {
                EXPECT_EQ(expectedBar, BarPosition(window));
            }
            ClickButton(box, IDOK);
            const DWORD start = ::GetTickCount();
            while (::IsWindow(window) && ::GetTickCount() - start < 5000) ::Sleep(10);
            EXPECT_FALSE(::IsWindow(window)) << "the dialog stays open after the box";
            EXPECT_EQ(nullptr, WaitForThreadWindow(DialogScript::MainThread(), nullptr, 300)) << "a second box";
        });
        return dialog.DoModal();
    }
};

// The status line's text for bytes that arrive, with the speed over the
// last few seconds of the samples given (tick in ms, bytes so far).
TEST(ProgressStatusText, SaysBytesSizeSpeedAndTimeLeftAsACopyDialogRounds)
{
    const LONGLONG MB = 1 << 20;
    struct Case {
        std::vector<std::pair<DWORD, LONGLONG>> samples;
        LONGLONG received, size;
        const char* expected;
    } cases[] = {
        {{{0, 0}, {1000, 12 * MB / 10}}, 12900000, 55000000, "12.3 MB / 52.4 MB（1.2 MB/秒、残り約 34 秒）"},
        {{{0, 0}, {1000, 12 * MB / 10}}, 12900000, -1, "12.3 MB（1.2 MB/秒）"},  // no size announced
        {{{0, 0}, {999, MB}}, 12900000, 55000000, "12.3 MB / 52.4 MB"},          // no speed yet
        {{{0, 0}, {1000, 100 << 10}}, MB, 20 * MB, "1.00 MB / 20.0 MB（100 KB/秒、残り約 3 分）"},
        {{}, 500, 1000, "500 バイト / 1000 バイト"},
        // A fast start does not count once three seconds have followed it.
        {{{0, 0},
          {1000, 10 * MB},
          {2000, 10 * MB + (100 << 10)},
          {3000, 10 * MB + (200 << 10)},
          {4000, 10 * MB + (300 << 10)},
          {5000, 10 * MB + (400 << 10)},
          {6000, 10 * MB + (500 << 10)}},
         10 * MB + (500 << 10),
         20 * MB,
         "10.4 MB / 20.0 MB（100 KB/秒、残り約 2 分）"},
        // Starting over from the first byte starts the speed over.
        {{{0, 0}, {1000, 5 * MB}, {2000, 0}, {2500, 0}}, 0, 20 * MB, "0 バイト / 20.0 MB"},
    };
    for (const Case& c : cases) {
        CTransferRate rate;
        for (const auto& sample : c.samples) rate.Add(sample.first, sample.second);
        EXPECT_STREQ(c.expected, ReceivingText(c.received, c.size, rate.BytesPerSecond()).GetString());
    }
    EXPECT_STREQ("接続が切れました。2 回目の再試行を待っています…", RetryText(2).GetString());
}

TEST_F(ProgressDialog, CompleteDownloadEndsWithOkAndNoMessage)
{
    // The server holds back until the script has seen the dialog, which
    // closes as soon as the download has ended.
    const std::string body = PatternBody(300000);
    m_server.SetBehaviour(HttpBehaviour::Stalled(body, 65536));
    ObservedProgressDlg dialog(DownloadSettings{});
    const INT_PTR result = RunDialog(dialog, [&](HWND window) {
        m_server.ReleaseStall();
        // A message box would hold the dialog open.
        if (!WaitUntilClosed(window)) {
            ADD_FAILURE() << "the dialog did not close by itself";
            CancelAllDialogs(DialogScript::MainThread());
        }
    });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(DOWNLOAD_SUCCEEDED, dialog.m_nResult);
    EXPECT_TRUE(ReadWholeFile(m_target) == body);
}

// The file in place goes through Windows' Attachment Services while the dialog
// stays up, made and called in a single-threaded apartment as their class
// needs. A file gone after Save is not complete; a failed Save that leaves it
// is traced, marked by the program and complete: the signature check decides.
TEST_F(ProgressDialog, CompleteFileIsMarkedAndScannedAndABlockedOneIsNotComplete)
{
    // The fallback mark is written where the volume has named streams; elsewhere it would be a
    // file beside the installer, which no end-to-end case finds.
    ImportPatch volume("kernel32.dll", "GetVolumeInformationByHandleW",
                       reinterpret_cast<const void*>(&VolumeWithNamedStreams));
    ASSERT_TRUE(volume.Applied());
    s_volumeInformation = &volume;
    const std::string mark = m_target + ":Zone.Identifier";
    const auto MarkOf = [](const char* url) {
        return std::string("[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=") + url + "\r\n";
    };
    const char kMovedUrl[] = "http://download.zembra.example/moved/setup.exe";
    FakeAttachmentServices attachment;
    {
        ClassObject classObject(&attachment);
        RegisteredAttachmentServices registration(&classObject);
        ASSERT_TRUE(registration.m_bRegistered);
        const struct {
            const char* name;
            HRESULT hrSave;
            bool removesFile;
        } cases[] = {
            {"kept", S_OK, false},
            {"infected, kept", E_FAIL, false},
            {"infected, removed", E_FAIL, true},
            {"blocked by the zone's policy, kept", INET_E_SECURITY_PROBLEM, false},
            {"blocked by the zone's policy, removed", INET_E_SECURITY_PROBLEM, true},
            {"virus infected, kept", HRESULT_FROM_WIN32(225), false},
            {"virus infected, removed", HRESULT_FROM_WIN32(225), true},
            {"virus deleted, kept", HRESULT_FROM_WIN32(226), false},
            {"virus deleted, removed", HRESULT_FROM_WIN32(226), true},
            {"disabled by policy, kept", HRESULT_FROM_WIN32(ERROR_ACCESS_DISABLED_BY_POLICY), false},
            {"disabled by policy, removed", HRESULT_FROM_WIN32(ERROR_ACCESS_DISABLED_BY_POLICY), true},
            {"removed by the anti-virus", S_OK, true},
        };
        for (const auto& c : cases) {
            attachment.m_calls.clear();
            attachment.m_callsIn.clear();
            attachment.m_hrSave = c.hrSave;
            attachment.m_bRemoveFile = c.removesFile;
            // The source is where the bytes came from, after the redirect.
            m_server.SetBehaviour(HttpBehaviour::Redirect(302, "/moved/setup.exe"));
            m_server.SetBehaviourForPath("/moved/setup.exe", HttpBehaviour::Whole(PatternBody(5000)));
            CProgressDlg dialog(nullptr);
            const INT_PTR result = RunDialog(dialog, [&](HWND window) {
                // While Windows scans, the dialog is on screen and answering.
                EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(attachment.m_hSaveEntered, 10000)) << c.name;
                EXPECT_TRUE(::IsWindowVisible(window) &&
                            ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, nullptr))
                    << c.name;
                EXPECT_EQ(STATUS_SCANNING_TEXT, StatusText(window)) << c.name;
                ::SetEvent(attachment.m_hSaveReleased);
                if (c.removesFile) {
                    HWND box = WaitForThreadWindow(DialogScript::MainThread(), nullptr, 10000, window);
                    REQUIRE_WINDOW(box);
                    EXPECT_EQ(kBlockedFileText, MessageBoxText(box)) << c.name;
                    ClickButton(box, IDOK);
                }
                if (!WaitUntilClosed(window)) {
                    ADD_FAILURE() << c.name << ": the dialog stayed";
                    CancelAllDialogs(DialogScript::MainThread());
                }
            });
            EXPECT_EQ(c.removesFile ? IDCANCEL : IDOK, result) << c.name;
            const std::vector<std::wstring> calls{L"SetClientGuid",
                                                  L"SetLocalPath " + std::wstring(CWideText(m_target.c_str(), CP_ACP)),
                                                  L"SetSource " + std::wstring(CWideText(kMovedUrl, CP_ACP)), L"Save"};
            EXPECT_EQ(calls, attachment.m_calls) << c.name;
            EXPECT_TRUE(classObject.m_createdIn == APTTYPE_STA || classObject.m_createdIn == APTTYPE_MAINSTA);
            for (const auto& [apartment, thread] : attachment.m_callsIn)
                EXPECT_TRUE(apartment == classObject.m_createdIn && thread == classObject.m_createdOn) << c.name;
            EXPECT_EQ(0, attachment.m_nRefs) << c.name;
            EXPECT_EQ(!c.removesFile, FileExists(m_target)) << c.name;
            EXPECT_EQ(FAILED(c.hrSave) && !c.removesFile ? MarkOf(kMovedUrl) : "", ReadWholeFile(mark)) << c.name;
            ::DeleteFileA(mark.c_str());
            ::DeleteFileA(m_target.c_str());
        }
    }

    // Without Attachment Services (Wine has none) the program writes the mark.
    m_server.SetBehaviour(HttpBehaviour::Stalled(PatternBody(100000), 65536));  // held until the dialog is seen
    CProgressDlg dialog(nullptr);
    EXPECT_EQ(IDOK, RunDialog(dialog, [&](HWND window) {
                  m_server.ReleaseStall();
                  EXPECT_TRUE(WaitUntilClosed(window));
              }));
    EXPECT_EQ(MarkOf(kSourceUrl), ReadWholeFile(mark));
    ::DeleteFileA(mark.c_str());
}

TEST_F(ProgressDialog, NetworkFailuresShowTheNetworkTextWithTheBarAtZero)
{
    m_server.SetBehaviour(HttpBehaviour::Status(404, PatternBody(500)));
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(m_target, kNetworkErrorText, 0, "progress-network-error.bmp"));

    // The worker fails after the dialog has been made but before the modal
    // loop has first shown it: the box still comes with the dialog behind it.
    m_server.SetBehaviour(HttpBehaviour::Silent());
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(m_target, kNetworkErrorText, 0, nullptr, [&](HWND dialog) {
                  m_server.ReleaseStall();  // the server hangs up without an answer
                  MSG msg{};
                  const DWORD start = ::GetTickCount();
                  while (!::PeekMessageA(&msg, dialog, WM_DOWNLOAD_FINISHED, WM_DOWNLOAD_FINISHED, PM_NOREMOVE) &&
                         ::GetTickCount() - start < 10000)
                      ::Sleep(5);
                  EXPECT_EQ(WM_DOWNLOAD_FINISHED, msg.message) << "the worker's end is queued";
                  EXPECT_FALSE(::IsWindowVisible(dialog));
              }));

    m_route.reset();
    ProxyRoute refused(LoopbackHttpServer::UnusedPort());
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(m_target, kNetworkErrorText, 0));
    EXPECT_TRUE(FilesIn(m_folder).empty());

    // No worker thread could be started.
    ImportPatch createThread("kernel32.dll", "CreateThread", reinterpret_cast<const void*>(&FailDownloadThreads));
    ASSERT_TRUE(createThread.Applied());
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(m_target, kNetworkErrorText, 0));
}

TEST_F(ProgressDialog, UnwritableTargetsShowTheFileText)
{
    m_server.SetBehaviour(HttpBehaviour::Whole(PatternBody(500)));
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(m_folder + "\\missing\\" + INSTALLER_FILE_NAME, kFileErrorText, 0));

    // Longer than the system's ANSI file functions take: refused, as
    // cutting it would name another file.
    const std::string longPath = m_folder + "\\" + std::string(600 - m_folder.size(), 'a') + ".exe";
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(longPath, kFileErrorText, 0));
    EXPECT_TRUE(FilesIn(m_folder).empty());

    // A folder too long for GetTempFileNameW and for the name it would make.
    const std::string longFolder = m_folder + "\\" + std::string(MAX_PATH - 10 - m_folder.size() - 1, 'b');
    ASSERT_TRUE(::CreateDirectoryA(longFolder.c_str(), nullptr));
    EXPECT_EQ(IDCANCEL, RunExpectingMessage(longFolder + "\\abcd.exe", kFileErrorText, 0));
    EXPECT_TRUE(FilesIn(longFolder).empty());
}

TEST_F(ProgressDialog, BarStepsThroughThePercentagesAndStaysWhereAFailureLeftIt)
{
    struct Case {
        const char* name;
        HttpBehaviour behaviour;
        int stalledBar;  // where the bar stands while the server holds back
        WPARAM lastPosition;
    };
    // 65,536 of 500,000 bytes, then the connection closes: no more than one
    // read's buffer, as a link found fast is read a full buffer at a time
    // and the bytes of a buffer left part-filled at the stall would show
    // only once it ends. A body that goes on past the 100,000 bytes
    // announced.
    HttpBehaviour longer = HttpBehaviour::Chunked(PatternBody(8 << 20));
    longer.contentLength = "100000";
    const Case cases[] = {
        {"closed early", HttpBehaviour::Stalled(PatternBody(500000), 65536, 65536), 13, 13},
        {"longer than announced", longer, -1, 101},  // 101: past 100, by what the last read brought
    };
    for (const Case& c : cases) {
        m_server.SetBehaviour(c.behaviour);
        ObservedProgressDlg dialog;
        const INT_PTR result = RunDialog(dialog, [&](HWND window) {
            if (c.stalledBar >= 0) {
                EXPECT_TRUE(WaitForBar(window, c.stalledBar)) << c.name;
                SaveScreenshot(ScreenshotFolder() + "/progress-dialog.bmp");
                m_server.ReleaseStall();
            }
            HWND box = WaitForThreadWindow(DialogScript::MainThread(), nullptr, 10000, window);
            REQUIRE_WINDOW(box);
            EXPECT_EQ(kNetworkErrorText, MessageBoxText(box)) << c.name;
            EXPECT_EQ(std::min<int>(100, c.lastPosition), BarPosition(window)) << c.name;
            ClickButton(box, IDOK);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        EXPECT_EQ(IDCANCEL, result) << c.name;
        ASSERT_FALSE(dialog.m_barPositions.empty()) << c.name;
        EXPECT_EQ(c.lastPosition, std::min<WPARAM>(101, dialog.m_barPositions.back())) << c.name;
        EXPECT_TRUE(FilesIn(m_folder).empty()) << c.name;
    }
}

TEST_F(ProgressDialog, CancelDuringAStalledReadClosesAtOnceAndTheWorkerEndsHarmlessly)
{
    WriteWholeFile(m_target, "the user's own file");
    const std::pair<const char*, void (*)(HWND)> endings[] = {
        {"Cancel button", [](HWND w) { ClickButton(w, IDCANCEL); }},
        {"Escape", [](HWND w) { PressKey(w, VK_ESCAPE); }},
        {"Enter", [](HWND w) { PressKey(w, VK_RETURN); }},
        {"close box", [](HWND w) { CloseWithCaptionButton(w); }},
    };
    for (const auto& ending : endings) {
        m_server.SetBehaviour(HttpBehaviour::Stalled(PatternBody(300000), 65536));
        HANDLE worker = nullptr;
        {
            StallWatch watch;
            ObservedProgressDlg dialog(DownloadSettings{});
            DWORD closingMs = 0;
            const INT_PTR result = RunDialog(dialog, [&](HWND window) {
                // One full read arrived; the worker waits in the next.
                EXPECT_TRUE(WaitForBar(window, 21));
                EXPECT_TRUE(watch.WorkerWaitsPastStall());
                const DWORD start = ::GetTickCount();
                ending.second(window);
                EXPECT_TRUE(WaitUntilClosed(window, 5000));
                closingMs = ::GetTickCount() - start;
                EXPECT_EQ(nullptr, WaitForThreadWindow(DialogScript::MainThread(), nullptr, 300))
                    << "no message after a cancel";
            });
            EXPECT_EQ(IDCANCEL, result) << ending.first;
            // Nothing waits for the worker: a sanity limit far above the
            // closing itself, which bench/DownloadFlowTimings.cpp measures.
            EXPECT_LT(closingMs, 5000u) << ending.first;
            ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), dialog.m_hThread, ::GetCurrentProcess(), &worker, 0,
                                          FALSE, DUPLICATE_SAME_ACCESS));
            EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(worker, 0)) << "still in its read when the dialog goes";
        }
        // The dialog object is gone; the worker reads on, sees the cancel
        // and cleans up after itself.
        m_server.ReleaseStall();
        EXPECT_TRUE(WaitPumpingMessages(worker, 20000)) << ending.first;
        ::CloseHandle(worker);
        EXPECT_EQ("the user's own file", ReadWholeFile(m_target)) << ending.first;
        EXPECT_EQ(std::vector<std::string>{INSTALLER_FILE_NAME}, FilesIn(m_folder)) << ending.first;
    }

    // The process is sound: the next download to the same path completes.
    const std::string body = PatternBody(100000);
    m_server.SetBehaviour(HttpBehaviour::Stalled(body, 65536));
    CProgressDlg dialog(nullptr);
    EXPECT_EQ(IDOK, RunDialog(dialog, [&](HWND window) {
                  m_server.ReleaseStall();
                  EXPECT_TRUE(WaitUntilClosed(window));
              }));
    EXPECT_TRUE(ReadWholeFile(m_target) == body);
}

TEST_F(ProgressDialog, CancelledStalledDownloadsEndAtTheTimeOutLeavingNothing)
{
    // The server never sends more than the first read; the time-out is short
    // here so that the test need not wait the program's 30 seconds.
    m_server.SetBehaviour(HttpBehaviour::Stalled(PatternBody(300000), 65536));
    std::vector<HANDLE> workers;
    for (int i = 0; i < 10; ++i) {
        ObservedProgressDlg dialog({2000});
        EXPECT_EQ(IDCANCEL, RunDialog(dialog, [&](HWND window) {
                      EXPECT_TRUE(WaitForBar(window, 21));
                      ClickButton(window, IDCANCEL);
                      EXPECT_TRUE(WaitUntilClosed(window));
                  }));
        HANDLE worker = nullptr;
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), dialog.m_hThread, ::GetCurrentProcess(), &worker, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS));
        workers.push_back(worker);
    }
    for (HANDLE worker : workers) {
        EXPECT_TRUE(WaitPumpingMessages(worker, 20000));
        ::CloseHandle(worker);
    }
    EXPECT_EQ(0, RunningWorkerThreads());
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

// The title, the task-bar button, the status line and what screen readers
// are told follow the download: the bytes, a drop and the wait to try
// again, the try that resumes it, Windows' scan and a failure.
TEST_F(ProgressDialog, RunningDownloadShowsItsStateInTitleTaskbarStatusLineAndToScreenReaders)
{
    struct Case {
        const char* name;
        HttpBehaviour behaviour;
        int stalledBar;
        HRESULT hrInit;
        INT_PTR result;
        std::vector<std::string> firstCalls, lastCalls, states;
        int announcements;  // a drop, a resume, the scan, a failure: once each
    };
    ImportPatch notify("user32.dll", "NotifyWinEvent", reinterpret_cast<const void*>(&CountAnnouncements));
    ASSERT_TRUE(notify.Applied());
    FakeTaskbarList taskbar;
    std::unique_ptr<ClassObject> taskbarClass;
    const UINT buttonCreated = ::RegisterWindowMessageA("TaskbarButtonCreated");
    auto run = [&](const Case& c) {
        const size_t callsBefore = taskbar.Calls().size();
        taskbar.m_hrInit = c.hrInit;
        m_server.SetBehaviour(c.behaviour);
        s_nStatusAnnouncements = 0;
        CProgressDlg dialog(nullptr);
        const INT_PTR result = RunDialog(dialog, [&](HWND window) {
            EXPECT_TRUE(::GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_APPWINDOW) << c.name;
            EXPECT_TRUE(WaitForBar(window, c.stalledBar)) << c.name;
            const std::string percent = std::to_string(c.stalledBar) + "% - ";
            EXPECT_EQ(percent + kTitle, WaitForText([&] { return WindowText(window); }, percent + kTitle)) << c.name;
            // The bar is named by the file it brings in, the status line by
            // what it says; read as a screen reader reads them.
            ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
            EXPECT_EQ(std::wstring(CWideText(INSTALLER_FILE_NAME, CP_ACP)) + L" のダウンロード",
                      AccessibleName(::GetDlgItem(window, IDC_PROGRESS)))
                << c.name;
            const std::wstring bytes(CWideText((FormatByteSize(65536) + " / ").c_str(), CP_ACP));
            EXPECT_EQ(bytes, AccessibleName(::GetDlgItem(window, IDC_DOWNLOAD_STATUS)).substr(0, bytes.size()))
                << c.name;
            ::CoUninitialize();
            EXPECT_EQ(0, s_nStatusAnnouncements) << "bytes are not announced";
            EXPECT_EQ(callsBefore, taskbar.Calls().size()) << "nothing before the button exists";
            // What the shell sends once it has made the button.
            taskbar.m_hWndExpected = window;
            ::SendMessageA(window, buttonCreated, 0, 0);
            m_server.ReleaseStall();
            if (c.announcements > 1) {
                EXPECT_EQ(RetryText(1).GetString(),
                          WaitForText([&] { return StatusText(window); }, RetryText(1).GetString()));
            }
            if (c.result == IDCANCEL) {
                HWND box = WaitForThreadWindow(DialogScript::MainThread(), nullptr, 10000, window);
                REQUIRE_WINDOW(box);
                const std::vector<std::string> calls = taskbar.Calls();
                EXPECT_EQ("state 4", calls.empty() ? "" : calls.back()) << "the error shows with the box";
                EXPECT_EQ(STATUS_FAILED_TEXT, StatusText(window));
                ClickButton(box, IDOK);
            }
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        EXPECT_EQ(c.result, result) << c.name;
        const std::vector<std::string> all = taskbar.Calls();
        const std::vector<std::string> calls(all.begin() + callsBefore, all.end());
        ASSERT_GE(calls.size(), std::max(c.firstCalls.size(), c.lastCalls.size())) << c.name;
        EXPECT_EQ(c.firstCalls, std::vector<std::string>(calls.begin(), calls.begin() + c.firstCalls.size())) << c.name;
        EXPECT_EQ(c.lastCalls, std::vector<std::string>(calls.end() - c.lastCalls.size(), calls.end())) << c.name;
        std::vector<std::string> states;
        for (const std::string& call : calls) {
            EXPECT_EQ(std::string::npos, call.find("unexpected")) << call;
            if (call.compare(0, 6, "state ") == 0) states.push_back(call);
        }
        EXPECT_EQ(c.states, states) << c.name;
        EXPECT_EQ(0u, taskbar.References()) << c.name;
        EXPECT_FALSE(taskbar.OverReleased()) << c.name;
        EXPECT_EQ(c.announcements, s_nStatusAnnouncements) << c.name;
    };

    // Without COM on the dialog's thread the button shows no progress, and
    // the download goes on.
    run({"no COM", HttpBehaviour::Stalled(PatternBody(300000), 65536), 21, S_OK, IDOK, {}, {}, {}, 1});

    // With COM, as the program's start-up sets it up: a whole body; one
    // whose connection closes early, with the button in the error state
    // while the message box is up; a task-bar list that cannot be set up.
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    taskbarClass = std::make_unique<ClassObject>(__uuidof(TaskbarList), &taskbar);
    ASSERT_TRUE(taskbarClass->registered());
    run({"whole body",
         HttpBehaviour::Stalled(PatternBody(300000), 65536),
         21,
         S_OK,
         IDOK,
         {"HrInit", "state 2", "value 21/100"},
         {"value 100/100", "state 0"},
         {"state 2", "state 0"},
         1});
    // The connection closes early, and the rest comes after the wait (paused
    // on the button), or the server fails the request for the rest.
    HttpBehaviour resumable = HttpBehaviour::Resumable(PatternBody(1000000), {131072});
    resumable.stallsAt = {65536, HttpBehaviour::ALL};
    run({"resumed",
         resumable,
         6,
         S_OK,
         IDOK,
         {"HrInit", "state 2", "value 6/100"},
         {"value 100/100", "state 0"},
         {"state 2", "state 8", "state 2", "state 0"},
         3});
    HttpBehaviour closedEarly = HttpBehaviour::Stalled(PatternBody(1000000), 65536, 131072);
    closedEarly.rangeValidator = "\"v1\"";
    closedEarly.nRangeStatus = 500;
    run({"closed early",
         closedEarly,
         6,
         S_OK,
         IDCANCEL,
         {"HrInit", "state 2", "value 6/100"},
         {"value 13/100", "state 8", "state 4", "state 0"},
         {"state 2", "state 8", "state 4", "state 0"},
         2});
    run({"HrInit fails",
         HttpBehaviour::Stalled(PatternBody(300000), 65536),
         21,
         E_FAIL,
         IDOK,
         {"HrInit"},
         {"HrInit"},
         {},
         1});
    taskbarClass.reset();
    ::CoUninitialize();
}

// Debian's tinyproxy asks for "user" and "password" (Basic) and passes what
// it lets through to the server of this test (see tests/CMakeLists.txt).
TEST_F(ProgressDialog, ProxyThatAsksForAPasswordGetsTheOneTypedIntoTheSystemPrompt)
{
    const char* proxyPort = std::getenv("TINYPROXY_PORT");
    const char* upstreamPort = std::getenv("TINYPROXY_UPSTREAM_PORT");
    if (!proxyPort || !upstreamPort) GTEST_SKIP() << "runs behind tinyproxy only";
    LoopbackHttpServer upstream;
    ASSERT_TRUE(upstream.Start(static_cast<USHORT>(std::atoi(upstreamPort))));
    m_route.reset();
    ProxyRoute route(static_cast<USHORT>(std::atoi(proxyPort)));
    const std::string body = PatternBody(100000);
    upstream.SetBehaviour(HttpBehaviour::Whole(body));

    // Cancelling the prompt is the network error; typing the password
    // brings the installer.
    for (const char* password : {static_cast<const char*>(nullptr), "password"}) {
        CProgressDlg dialog(nullptr);
        const INT_PTR result = RunDialog(dialog, [&](HWND window) {
            // The system's prompt: a dialog with a password box.
            HWND user = nullptr, secret = nullptr;
            HWND prompt = WaitForThreadDialog(DialogScript::MainThread(), [&](HWND dialog) {
                user = secret = nullptr;
                for (HWND edit = nullptr; (edit = ::FindWindowExA(dialog, edit, "Edit", nullptr)) != nullptr;)
                    (::GetWindowLongPtrA(edit, GWL_STYLE) & ES_PASSWORD ? secret : user) = edit;
                return user && secret;
            });
            REQUIRE_WINDOW(prompt);
            EXPECT_EQ(window, ::GetWindow(prompt, GW_OWNER));
            EXPECT_EQ(STATUS_PROXY_PROMPT_TEXT, StatusText(window));
            if (!password) {
                ClickButton(prompt, IDCANCEL);
                EXPECT_TRUE(WaitUntilClosed(prompt));
                HWND box = WaitForThreadWindow(DialogScript::MainThread(), nullptr, 10000, window);
                REQUIRE_WINDOW(box);
                EXPECT_EQ(kNetworkErrorText, MessageBoxText(box));
                ClickButton(box, IDOK);
                return;
            }
            ::SendMessageA(user, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("user"));
            ::SendMessageA(secret, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password));
            SaveScreenshot(ScreenshotFolder() + "/proxy-password.bmp");
            ClickButton(prompt, IDOK);
            EXPECT_TRUE(WaitUntilClosed(window));
        });
        EXPECT_EQ(password ? IDOK : IDCANCEL, result);
    }
    EXPECT_TRUE(ReadWholeFile(m_target) == body);
    EXPECT_EQ(1u, upstream.Requests().size());
}

}  // namespace
