#include "framework/SystemLibraries.h"

#include <cstring>

namespace {

// Set once at start-up, before any other thread of the program exists.
bool g_bSearchFlagsAvailable = false;

const char COMMON_CONTROLS_DLL[] = "comctl32.dll";

// By its bare name, which the manifest's activation context redirects to
// version 6 in the side-by-side store; the system directory holds version 5.
// The search that follows the redirection is limited already.
HMODULE LoadCommonControls()
{
    return ::LoadLibraryA(COMMON_CONTROLS_DLL);
}

// The delay-load helper calls this before it loads a DLL itself. Returning
// the module loaded here means the helper's own LoadLibraryA, which searches
// the program's folder first where SetDefaultDllDirectories is missing, is
// never reached. A system DLL that cannot be loaded from the system
// directory is reported as the helper reports a missing DLL, by the
// exception that ends the program, rather than looked for elsewhere.
FARPROC WINAPI LoadDelayedLibrary(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary) return nullptr;
    if (HMODULE module =
            ::lstrcmpiA(info->szDll, COMMON_CONTROLS_DLL) == 0 ? LoadCommonControls() : LoadSystemLibrary(info->szDll))
        return reinterpret_cast<FARPROC>(module);
    info->dwLastError = ::GetLastError();
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    return nullptr;
}

}  // namespace

// The hooks the delay-load helper of the C runtime library reads. Both are
// defined here so that the library's own null definitions are not linked.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadDelayedLibrary;
PfnDliHook __pfnDliFailureHook2 = nullptr;
}

extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);

void BindDelayLoadedImports(const ImgDelayDescr& descriptor)
{
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor.rvaINT);
    auto* slots = reinterpret_cast<FARPROC*>(base + descriptor.rvaIAT);
    for (; names->u1.AddressOfData; ++names, ++slots) __delayLoadHelper2(&descriptor, slots);
}

void RestrictLibrarySearchToSystemDirectory()
{
    // Looked up at run time: a static import of it would keep the program
    // from starting at all on a Windows 7 without the update.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_bSearchFlagsAvailable = true;
        return;
    }
    // Takes the current directory out of the search order; the program's
    // own folder stays in it, which is why nothing is loaded by bare name.
    ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const char* fileName)
{
    if (!fileName || std::strchr(fileName, '\\') || std::strchr(fileName, '/')) return nullptr;
    if (g_bSearchFlagsAvailable) return ::LoadLibraryExA(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);

    // By full path, and with the altered search order, which looks for the
    // DLL's own dependencies in its folder first and never in the program's.
    wchar_t path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    const size_t nameLength = std::strlen(fileName);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    for (size_t i = 0; i <= nameLength; ++i) path[length + 1 + i] = static_cast<unsigned char>(fileName[i]);
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
