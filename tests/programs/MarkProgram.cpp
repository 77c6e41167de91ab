// The sample installer of the build, which the build pins as the one
// installer its program starts unasked. When started, it leaves a file named
// after itself with ".ran" appended, so a test can see that it really ran;
// in the demo (DOWNLOADER_DEMO set) it then says so on screen. Wide calls,
// so that it runs from a folder of any name.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t path[MAX_PATH + 8] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    lstrcatW(path, L".ran");
    HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(mark);
    if (GetEnvironmentVariableW(L"DOWNLOADER_DEMO", nullptr, 0))
        MessageBoxA(nullptr,
                    "サンプルのインストーラーが起動しました。\n(デモ用のプログラムです。何もインストールしません。)",
                    "SampleInstaller", MB_OK | MB_ICONINFORMATION);
    return 0;
}
