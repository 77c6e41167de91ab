#include "installer/InstallerStart.h"

#include <shellapi.h>

#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>

#include "framework/AfxMessageBox.h"
#include "framework/CHiddenMainWindow.h"
#include "framework/CString.h"
#include "framework/CWideText.h"
#include "trace/Trace.h"

namespace {

const char CANNOT_RUN_SETUP[] = "セットアップを実行できませんでした。";
// Anything but the one installer this program hands out, signed by its maker
// and unchanged since.
const char NOT_THE_EXPECTED_INSTALLER[] =
    "ダウンロードしたファイルは、このプログラムが配布するセットアップではありません。\n"
    "ファイルが破損しているか、改ざんされているおそれがあります。\n\n"
    "このまま実行しますか？";
// Windows refuses the file: its signer is distrusted or revoked, the
// administrator's policy forbids it, or the anti-virus found it infected.
const char BLOCKED_BY_WINDOWS[] = "ダウンロードしたファイルは、Windows によってブロックされたため実行できません。";
const char FILE_STAYS_WHERE_SAVED[] = "\nファイルは保存した場所に残っています。";
const char WINDOW_CAPTION[] = "ダウンローダー";
const char CHECKING_TEXT[] = "ダウンロードしたファイルを確認しています…";
const char STARTING_TEXT[] = "セットアップを起動しています…";
const char STOP_TEXT[] = "中止";

constexpr WORD STATUS_TEXT_ID = 100;

// Windows' codes for a file its anti-virus refused (winerror.h; MinGW's
// headers lack them).
constexpr DWORD VIRUS_INFECTED = 225, VIRUS_DELETED = 226;

void ReportBlocked(bool fileKept)
{
    CString text;
    text.Format("%s%s", BLOCKED_BY_WINDOWS, fileKept ? FILE_STAYS_WHERE_SAVED : "");
    AfxMessageBox(text, MB_OK | MB_ICONERROR);
}

// Shows the blocked message or the question when the verdict needs one.
// True when the installer is to start.
bool AskToStart(const SignatureReport& check)
{
    static const char* const NAMES[] = {"trusted",    "other publisher", "other installer", "changed after signing",
                                        "not signed", "not trusted",     "blocked"};
    TraceOut("installer signature: %s, WinVerifyTrust 0x%08lX, chain 0x%08lX\r\n",
             NAMES[static_cast<int>(check.m_trust)], static_cast<unsigned long>(check.m_lResult),
             static_cast<unsigned long>(check.m_dwChainStatus));
    switch (check.m_trust) {
        case SignatureTrust::Trusted:
            return true;
        case SignatureTrust::Blocked:
            ReportBlocked(true);
            return false;
        case SignatureTrust::OtherPublisher:
        case SignatureTrust::OtherInstaller:
        case SignatureTrust::ChangedAfterSigning:
        case SignatureTrust::NotSigned:
        case SignatureTrust::NotTrusted:
            break;
    }
    return AfxMessageBox(NOT_THE_EXPECTED_INSTALLER, MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING) == IDYES;
}

// The window of the wait for the verdict and of the start, made in code:
// a status line and a Stop button. Unowned, so that it has a task-bar
// button while the main dialog is hidden.
class CStartWindow {
public:
    ~CStartWindow()
    {
        if (m_hWnd) ::DestroyWindow(m_hWnd);
    }

    // Shows `text`, comes to the front and paints at once: the start that
    // follows blocks this thread.
    void Show(const char* text, bool canStop)
    {
        if (!m_hWnd) Create();
        if (!m_hWnd) return;
        ::SetDlgItemTextW(m_hWnd, STATUS_TEXT_ID, CWideText(text, PROGRAM_TEXT_CODE_PAGE));
        HWND stop = ::GetDlgItem(m_hWnd, IDCANCEL);
        ::EnableWindow(stop, canStop);
        m_bHideWhenDeactivated = false;
        ::ShowWindow(m_hWnd, SW_SHOW);
        CHiddenMainWindow::ComeForward(m_hWnd);
        // The keyboard is on Stop, so that Space and a screen reader find
        // it; with Stop disabled, on the window.
        if (canStop)
            ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(stop), TRUE);
        else
            ::SetFocus(m_hWnd);
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    void Hide()
    {
        if (m_hWnd) ::ShowWindow(m_hWnd, SW_HIDE);
    }
    // Keeps the window until the next one of the program is up: it goes
    // once another window takes the activation from it, or at Hide.
    void HideOnceReplaced() { m_bHideWhenDeactivated = m_hWnd != nullptr; }

    HWND m_hWnd = nullptr;
    bool m_bStopped = false;
    bool m_bHideWhenDeactivated = false;

private:
    void Create();
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// An in-memory dialog template (DLGTEMPLATE and DLGITEMTEMPLATE), laid out
// as the resource compiler lays one out: WORDs, items on DWORD boundaries.
// A template that does not fit is no template: the window is then not made.
class CDialogTemplate {
public:
    CDialogTemplate(const char* caption, DWORD style, short cx, short cy)
    {
        Dword(style);
        Dword(0);
        m_nCountAt = m_nWords;
        for (WORD word : {WORD(0), WORD(0), WORD(0), static_cast<WORD>(cx), static_cast<WORD>(cy), WORD(0), WORD(0)})
            Add(word);
        Text(caption);
        Add(9);
        Text("ＭＳ Ｐゴシック");
    }
    void Item(WORD classAtom, const char* text, DWORD style, short x, short y, short cx, short cy, WORD id)
    {
        if (m_nWords % 2) Add(0);
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        for (WORD word : {static_cast<WORD>(x), static_cast<WORD>(y), static_cast<WORD>(cx), static_cast<WORD>(cy), id,
                          WORD(0xFFFF), classAtom})
            Add(word);
        Text(text);
        Add(0);
        ++m_words[m_nCountAt];
    }
    const DLGTEMPLATE* Get() const
    {
        return m_nWords <= CAPACITY ? reinterpret_cast<const DLGTEMPLATE*>(m_words) : nullptr;
    }

private:
    static constexpr size_t CAPACITY = 256;

    void Add(WORD word)
    {
        if (m_nWords < CAPACITY) m_words[m_nWords] = word;
        if (m_nWords <= CAPACITY) ++m_nWords;
    }
    void Dword(DWORD value)
    {
        Add(LOWORD(value));
        Add(HIWORD(value));
    }
    void Text(const char* text)
    {
        const CWideText wide(text, PROGRAM_TEXT_CODE_PAGE);
        for (LPCWSTR c = wide; *c; ++c) Add(*c);
        Add(0);
    }

    alignas(DWORD) WORD m_words[CAPACITY] = {};
    size_t m_nWords = 0;
    size_t m_nCountAt = 0;
};

void CStartWindow::Create()
{
    CDialogTemplate dialog(WINDOW_CAPTION, DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                           190, 58);
    dialog.Item(0x0082 /* static */, "", SS_LEFT, 10, 10, 170, 18, STATUS_TEXT_ID);
    dialog.Item(0x0080 /* button */, STOP_TEXT, BS_DEFPUSHBUTTON | WS_TABSTOP, 70, 36, 50, 14, IDCANCEL);
    if (dialog.Get())
        m_hWnd = ::CreateDialogIndirectParamW(::GetModuleHandleW(nullptr), dialog.Get(), nullptr, DialogProc,
                                              reinterpret_cast<LPARAM>(this));
    if (!m_hWnd) TraceOut("start window not created: error %lu\r\n", static_cast<unsigned long>(::GetLastError()));
}

INT_PTR CALLBACK CStartWindow::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* window = reinterpret_cast<CStartWindow*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    // Stop, Escape and the close box all come as IDCANCEL: do not run it.
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        if (window) window->m_bStopped = ::IsWindowEnabled(::GetDlgItem(hWnd, IDCANCEL)) != FALSE;
        return TRUE;
    }
    if (message == WM_ACTIVATE && LOWORD(wParam) == WA_INACTIVE && window && window->m_bHideWhenDeactivated) {
        window->m_bHideWhenDeactivated = false;
        ::ShowWindow(hWnd, SW_HIDE);
    }
    return FALSE;
}

// The name the file system gives the file open as `file`, with `flags`;
// without the long-path prefix when it then fits in MAX_PATH.
CStringW FinalPath(HANDLE file, DWORD flags)
{
    for (DWORD size = MAX_PATH;;) {
        std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[size]);
        if (!buffer) return CStringW();
        const DWORD length = ::GetFinalPathNameByHandleW(file, buffer.get(), size, flags | VOLUME_NAME_DOS);
        if (length == 0) {
            TraceOut("final path (flags %lu) not read: error %lu\r\n", static_cast<unsigned long>(flags),
                     static_cast<unsigned long>(::GetLastError()));
            return CStringW();
        }
        // Too small: the length needed, with the terminating null.
        if (length >= size) {
            size = length;
            continue;
        }
        // \\?\C:\... becomes C:\..., and \\?\UNC\server\... becomes \\server\....
        wchar_t* path = buffer.get();
        const DWORD prefix = std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0 ? 6
                             : std::wcsncmp(path, L"\\\\?\\", 4) == 0    ? 4
                                                                         : 0;
        if (prefix && length - prefix < MAX_PATH) {
            path += prefix;
            if (prefix == 6) path[0] = L'\\';
        }
        return CStringW(path);
    }
}

// Whether `path` names the very file open as `file`: the same volume and
// the same file id.
bool NamesHeldFile(LPCWSTR path, HANDLE file)
{
    const CHandle named(::CreateFileW(path, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    BY_HANDLE_FILE_INFORMATION held, other;
    return named.IsValid() && ::GetFileInformationByHandle(file, &held) &&
           ::GetFileInformationByHandle(named, &other) && held.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           held.nFileIndexHigh == other.nFileIndexHigh && held.nFileIndexLow == other.nFileIndexLow;
}

// That very file, under the name the file system gives it now, whatever
// the folders or links on the saved path point at by then. The normalised
// name fails where a parent folder cannot be read (a home share); a name
// the shell cannot take (MAX_PATH or more keeps \\?\) gives way to the
// saved path once that is shown to name the same file.
CStringW PathToStart(HANDLE file, LPCWSTR savedPath)
{
    for (const DWORD flags : {FILE_NAME_NORMALIZED, FILE_NAME_OPENED}) {
        const CStringW path = FinalPath(file, flags);
        if (!path.IsEmpty() && path.GetLength() < MAX_PATH && std::wcsncmp(path, L"\\\\?\\", 4) != 0) return path;
    }
    if (std::wcslen(savedPath) < MAX_PATH && NamesHeldFile(savedPath, file)) return CStringW(savedPath);
    return CStringW();
}

// Starts the file; 0, or the error that kept it from starting.
DWORD StartInstaller(HWND owner, HANDLE file, LPCWSTR savedPath)
{
    const CStringW path = PathToStart(file, savedPath);
    if (path.IsEmpty()) return ERROR_FILE_NOT_FOUND;
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    // The program ends right after this: the shell must have finished
    // starting the file before the call returns. The shell's own error
    // boxes are left out; the program's message says it. No
    // SEE_MASK_NOZONECHECKS: the shell's checks of a downloaded file run.
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    // Visible and active, so that the elevation prompt comes to the front.
    execute.hwnd = owner;
    execute.lpVerb = L"open";
    execute.lpFile = path;
    execute.nShow = SW_SHOWNORMAL;
    if (::ShellExecuteExW(&execute)) return 0;
    return ::GetLastError();
}

void ReportStartError(DWORD error)
{
    TraceOut("installer not started: error %lu\r\n", static_cast<unsigned long>(error));
    switch (error) {
        case ERROR_CANCELLED:
            // No to the installer's elevation prompt: the user's choice.
            return;
        case ERROR_ACCESS_DISABLED_BY_POLICY:
        case VIRUS_INFECTED:
            ReportBlocked(true);
            return;
        case VIRUS_DELETED:
            ReportBlocked(false);
            return;
    }
    AfxMessageBox(CANNOT_RUN_SETUP, MB_OK);
}

}  // namespace

CHeldFile::CHeldFile(LPCWSTR path)
    : m_file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
{
    if (!m_file.IsValid())
        TraceOut("installer not opened: error %lu\r\n", static_cast<unsigned long>(::GetLastError()));
}

CInstallerStart::CInstallerStart(LPCWSTR path, DWORD checkTimeoutMs)
    : m_path(path), m_file(path), m_check(m_file.Handle(), path, checkTimeoutMs)
{
}

void CInstallerStart::Run()
{
    // A file that could not be opened can never start: no question.
    if (!m_file.IsOpen()) {
        AfxMessageBox(CANNOT_RUN_SETUP, MB_OK);
        return;
    }
    CStartWindow window;
    if (!m_check.IsDone()) {
        window.Show(CHECKING_TEXT, true);
        m_check.Wait(window.m_hWnd, &window.m_bStopped);
        if (window.m_bStopped) {
            TraceOut("installer check stopped\r\n");
            return;
        }
    }
    const SignatureReport check = m_check.Result();
    // Nothing of the program would be on screen between this window and
    // the message that follows it (seconds on a loaded machine).
    if (check.m_trust != SignatureTrust::Trusted) window.HideOnceReplaced();
    if (!AskToStart(check)) return;
    window.Show(STARTING_TEXT, false);
    const DWORD error = StartInstaller(window.m_hWnd, m_file.Handle(), m_path);
    window.Hide();
    if (error) ReportStartError(error);
}
