#include "download/AttachmentServices.h"

#include <objbase.h>
#include <shobjidl.h>
#include <shlwapi.h>
#include <wininet.h>

#include "framework/CHandle.h"
#include "framework/ComRef.h"
#include "framework/CStringW.h"
#include "framework/CWideText.h"
#include "framework/WorkerThreads.h"
#include "trace/Trace.h"

namespace {

// Names this program to Attachment Services, which keep per-client settings.
// {461849A5-90DD-4B52-B8B8-BA58D1F7F7EA}
constexpr GUID ATTACHMENT_CLIENT_ID = {0x461849a5, 0x90dd, 0x4b52, {0xb8, 0xb8, 0xba, 0x58, 0xd1, 0xf7, 0xf7, 0xea}};

// Zone 3 is the Internet zone.
constexpr char ZONE_TRANSFER_HEAD[] = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=";

// Room for the long-path prefix, a saved path, which is shorter than
// MAX_PATH, and the stream's name.
constexpr int STREAM_NAME_SIZE = MAX_PATH + 32;

// The name of the stream `stream` of the file at `path`, a full path, with the
// long-path prefix when the name would not fit in MAX_PATH.
bool StreamName(wchar_t (&name)[STREAM_NAME_SIZE], LPCWSTR path, LPCWSTR stream)
{
    const bool unc = path[0] == L'\\' && path[1] == L'\\';
    const int length = ::lstrlenW(path) + ::lstrlenW(stream);
    const int written = length < MAX_PATH ? ::wnsprintfW(name, STREAM_NAME_SIZE, L"%s%s", path, stream)
                        : unc             ? ::wnsprintfW(name, STREAM_NAME_SIZE, L"\\\\?\\UNC%s%s", path + 1, stream)
                                          : ::wnsprintfW(name, STREAM_NAME_SIZE, L"\\\\?\\%s%s", path, stream);
    return written >= length && written < STREAM_NAME_SIZE - 1;
}

bool HasNamedStreams(LPCWSTR path)
{
    const CHandle file(::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD flags = 0;
    return file.IsValid() && ::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS);
}

// What Attachment Services would have written. A volume without named
// streams gets nothing: there the name would make a separate file beside the
// installer.
void WriteZoneIdentifier(LPCWSTR path, LPCWSTR sourceUrl)
{
    if (!HasNamedStreams(path)) return;
    wchar_t name[STREAM_NAME_SIZE];
    if (!StreamName(name, path, L":Zone.Identifier")) return;
    CHandle stream(::CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!stream.IsValid()) {
        TraceOut("mark of the web not written: error %lu\r\n", static_cast<unsigned long>(::GetLastError()));
        return;
    }
    char text[sizeof ZONE_TRANSFER_HEAD + INTERNET_MAX_URL_LENGTH + 2] = {};
    ::lstrcpyA(text, ZONE_TRANSFER_HEAD);
    const int head = sizeof ZONE_TRANSFER_HEAD - 1;
    const int url =
        ::WideCharToMultiByte(CP_UTF8, 0, sourceUrl, -1, text + head, INTERNET_MAX_URL_LENGTH, nullptr, nullptr);
    const DWORD length = url > 0 ? head + url - 1 + 2 : 0;
    if (url > 0) ::lstrcatA(text, "\r\n");
    DWORD written = 0;
    const bool whole = length && ::WriteFile(stream, text, length, &written, nullptr) && written == length;
    stream.Close();
    // Half a mark says nothing reliable.
    if (!whole) ::DeleteFileW(name);
}

}  // namespace

AttachmentVerdict CheckWithAttachmentServices(LPCWSTR path, LPCWSTR sourceUrl)
{
    ComRef<IAttachmentExecute> attachment;
    HRESULT result = ::CoCreateInstance(CLSID_AttachmentServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAttachmentExecute,
                                        attachment.ReceiveVoid());
    if (SUCCEEDED(result)) {
        result = attachment->SetClientGuid(ATTACHMENT_CLIENT_ID);
        if (SUCCEEDED(result)) result = attachment->SetLocalPath(path);
        if (SUCCEEDED(result)) result = attachment->SetSource(sourceUrl);
        if (SUCCEEDED(result)) result = attachment->Save();
    }
    TraceOut("attachment services: 0x%08lX\r\n", static_cast<unsigned long>(result));
    // Attachment Services delete a file that the policy or the anti-virus
    // refuses; any other failure leaves the decision to the signature check.
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return AttachmentVerdict::Blocked;
    if (FAILED(result)) WriteZoneIdentifier(path, sourceUrl);
    return AttachmentVerdict::Kept;
}

namespace {

struct AttachmentCheck {
    CStringW path;
    CStringW sourceUrl;
    HWND window;
};

DWORD WINAPI AttachmentCheckThreadProc(LPVOID parameter)
{
    AttachmentCheck* check = static_cast<AttachmentCheck*>(parameter);
    // Attachment Services are registered with ThreadingModel=Apartment: made
    // from a multithreaded apartment they would live in a host apartment, and
    // their interface, which has no proxy, could not be handed back here.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const AttachmentVerdict verdict = CheckWithAttachmentServices(check->path, check->sourceUrl);
    if (SUCCEEDED(com)) ::CoUninitialize();
    ::PostMessageW(check->window, WM_DOWNLOAD_SCANNED, static_cast<WPARAM>(verdict), 0);
    delete check;
    return 0;
}

}  // namespace

void StartAttachmentCheck(LPCWSTR path, LPCSTR sourceUrl, HWND window)
{
    // An address is ASCII: WinInet sends it as it is.
    AttachmentCheck* check = new AttachmentCheck{CStringW(path), CStringW(CWideText(sourceUrl, CP_ACP)), window};
    // Without a thread of its own, the check runs here: the window waits,
    // but the file is still checked.
    const CHandle thread(StartWorkerThread(AttachmentCheckThreadProc, check));
    if (!thread.IsValid()) AttachmentCheckThreadProc(check);
}
