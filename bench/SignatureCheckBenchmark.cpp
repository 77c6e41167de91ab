// How long the signature check of a downloaded installer takes, for a large
// signed file and a small one, against reading and hashing the large file
// once (the least any verification costs). The first check of a process
// also loads the trust providers and the root store, which is what the
// Downloader pays: it checks once. Then the time from OK on the completion
// dialog to the started installer, with the check begun when the download
// completed and the dialog on screen for 1 s, and begun only at OK, against
// a bare ShellExecuteExW of the same file. Prints a table; not a test.
//   signature_check_benchmark <root.der> <large signed file> <small signed file>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <shellapi.h>

#include "installer/InstallerStart.h"
#include "installer/SignatureCheck.h"
#include "framework/CWinApp.h"
#include "tests/support/TrustedRoot.h"

namespace {

constexpr int kRounds = 7;

CWinApp s_app;

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * counter.QuadPart / frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds of one check; exits when the file is not trusted.
double TimedCheck(const char* path)
{
    const double start = Now();
    wchar_t widePath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH)) exit(1);
    HANDLE file = CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const SignatureReport check = VerifySignatureAndWait(file, widePath);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    const double elapsed = Now() - start;
    if (check.m_trust != SignatureTrust::Trusted) {
        fprintf(stderr, "%s is not trusted: 0x%08lX, chain 0x%08lX\n", path,
                static_cast<unsigned long>(check.m_lResult), static_cast<unsigned long>(check.m_dwChainStatus));
        exit(1);
    }
    return elapsed;
}

// Milliseconds to read the file and hash it with SHA-256, as the
// verification must.
double TimedHash(const char* path)
{
    const double start = Now();
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    FILE* file = fopen(path, "rb");
    if (!file || !CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))
        exit(1);
    std::vector<BYTE> chunk(1 << 20);
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0)
        if (!CryptHashData(hash, chunk.data(), static_cast<DWORD>(got), 0)) exit(1);
    BYTE digest[32];
    DWORD size = sizeof digest;
    CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    fclose(file);
    return Now() - start;
}

// The first check of a fresh process, run as a child of this one.
double FirstCheckInNewProcess(const char* path)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = std::string("\"") + self + "\" --first \"" + path + "\"";
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0)) exit(1);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        exit(1);
    CloseHandle(write);
    char text[64] = {};
    DWORD length = 0;
    ReadFile(read, text, sizeof text - 1, &length, nullptr);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(read);
    return atof(text);
}

// Milliseconds from OK to the started installer, the check having run for
// `headStartMs` before while this thread's messages were dispatched.
double FromOkToStarted(const wchar_t* path, DWORD headStartMs)
{
    CInstallerStart installer(path);
    for (const DWORD start = GetTickCount(); GetTickCount() - start < headStartMs;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, headStartMs - (GetTickCount() - start), QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    const double ok = Now();
    installer.Run();
    return Now() - ok;
}

double BareStart(const wchar_t* path)
{
    const double start = Now();
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"open";
    execute.lpFile = path;
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&execute)) exit(1);
    return Now() - start;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--first") == 0) {
        printf("%.3f\n", TimedCheck(argv[2]));
        return 0;
    }
    if (argc != 4) {
        fprintf(stderr, "usage: signature_check_benchmark <root.der> <large signed file> <small signed file>\n");
        return 2;
    }
    TrustedRoot root(argv[1]);
    if (!root.trusted()) return 1;
    const char* large = argv[2];
    const char* small = argv[3];
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(large, GetFileExInfoStandard, &attributes)) return 1;
    printf("large file: %.1f MB\n", attributes.nFileSizeLow / 1e6 + attributes.nFileSizeHigh * 4294.967296);

    wchar_t largeWide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, large, -1, largeWide, MAX_PATH)) return 1;
    std::vector<double> first, largeChecks, smallChecks, hashes, early, atOk, bare;
    for (int round = 0; round < kRounds; ++round) {
        first.push_back(FirstCheckInNewProcess(large));
        largeChecks.push_back(TimedCheck(large));
        smallChecks.push_back(TimedCheck(small));
        hashes.push_back(TimedHash(large));
        early.push_back(FromOkToStarted(largeWide, 1000));
        atOk.push_back(FromOkToStarted(largeWide, 0));
        bare.push_back(BareStart(largeWide));
    }
    const double hash = Median(hashes);
    printf("%-46s %10s %8s\n", "median of 7 rounds", "ms", "x hash");
    printf("%-46s %10.1f %8.2f\n", "check, large file, first in a new process", Median(first), Median(first) / hash);
    printf("%-46s %10.1f %8.2f\n", "check, large file, later in the process", Median(largeChecks),
           Median(largeChecks) / hash);
    printf("%-46s %10.1f %8s\n", "check, small signed program", Median(smallChecks), "");
    printf("%-46s %10.1f %8.2f\n", "baseline: read and SHA-256 the large file", hash, 1.0);
    const double shell = Median(bare);
    printf("\n%-46s %10s %8s\n", "OK to installer started, large file", "ms", "x bare");
    printf("%-46s %10.1f %8.2f\n", "checked from completion, dialog shown 1 s", Median(early), Median(early) / shell);
    printf("%-46s %10.1f %8.2f\n", "checked only from OK", Median(atOk), Median(atOk) / shell);
    printf("%-46s %10.1f %8.2f\n", "baseline: bare ShellExecuteExW", shell, 1.0);
    return 0;
}
