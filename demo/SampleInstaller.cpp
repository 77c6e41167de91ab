// The sample installer the demo server hands out: it only says that it ran.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MessageBoxA(nullptr,
                "サンプルのインストーラーが起動しました。\n(デモ用のプログラムです。何もインストールしません。)",
                "SampleInstaller", MB_OK | MB_ICONINFORMATION);
    return 0;
}
