// A DLL named like a system DLL, as one might lie in a Downloads folder.
// Loaded, it leaves a file named after itself with ".loaded" appended.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    char path[MAX_PATH + 8] = {};
    if (reason == DLL_PROCESS_ATTACH && GetModuleFileNameA(instance, path, MAX_PATH) < MAX_PATH)
        CloseHandle(CreateFileA(lstrcatA(path, ".loaded"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return TRUE;
}
