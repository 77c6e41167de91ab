#include "trace/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "framework/CString.h"

int g_bTraceEnabled = 1;
int g_bTraceTimestamp = 0;
int g_bTraceToFile = 0;
char g_szTraceFilePath[MAX_PATH] = "";
int g_bTraceFileBusy = 0;

namespace {

// How often, and how long each time, a text waits for another writer to
// release the trace file before the file step is skipped.
constexpr int BUSY_RETRIES = 10;
constexpr DWORD BUSY_WAIT_MS = 10;

// Size of the "HH:MM:SS" text with its terminator.
constexpr size_t TIME_OF_DAY_SIZE = 9;

}  // namespace

int TraceOut(const char* format, ...)
{
    if (format == nullptr) {
        return 0;
    }
    char buffer[512];
    va_list args;
    va_start(args, format);
    // Never written past its end; a longer text is cut to 511 bytes.
    _vsnprintf(buffer, sizeof(buffer) - 1, format, args);
    va_end(args);
    buffer[sizeof(buffer) - 1] = '\0';
    return TraceOutText(buffer);
}

int TraceOutText(const char* text)
{
    if (!g_bTraceEnabled) {
        return 0;
    }
    CString line(text);
    if (g_bTraceTimestamp) {
        char time_of_day[TIME_OF_DAY_SIZE] = "";
        GetTimeOfDayString(time_of_day);
        line.Format("%s : %s", time_of_day, text != nullptr ? text : "");
    }
    if (g_bTraceToFile) {
        // Another writer holds the file: give it a short while, then leave the
        // text out of the file rather than block the caller.
        volatile int* busy = &g_bTraceFileBusy;
        for (int attempt = 0; attempt < BUSY_RETRIES && *busy; ++attempt) {
            Sleep(BUSY_WAIT_MS);
        }
        if (!*busy) {
            *busy = 1;
            AppendTraceFile(line);
            *busy = 0;
        }
    }
    OutputDebugStringA(line);
    return 1;
}

int AppendTraceFile(const char* text)
{
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    HANDLE file =
        CreateFileA(g_szTraceFilePath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD length = static_cast<DWORD>(strlen(text));
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, length, &written, nullptr);
    CloseHandle(file);
    return ok && written == length ? 1 : 0;
}

int GetTimeOfDayString(char* buffer)
{
    if (buffer == nullptr) {
        return 0;
    }
    time_t now = time(nullptr);
    const tm* local = localtime(&now);
    if (local == nullptr) {
        buffer[0] = '\0';
        return 1;
    }
    _snprintf(buffer, TIME_OF_DAY_SIZE - 1, "%02d:%02d:%02d", local->tm_hour % 100, local->tm_min % 100,
              local->tm_sec % 100);
    buffer[TIME_OF_DAY_SIZE - 1] = '\0';
    return 1;
}
