#pragma once
// Where this program loads DLLs from. Started from a Downloads folder, it
// must never load a DLL planted beside it: Windows' loader looks in the
// program's own folder first for every DLL that is not a KnownDLL.
#include <windows.h>
#include <delayimp.h>

// Keeps every later DLL load of this process, the system's own included, to
// the system directory. WinMain calls it right after drawing the stack
// guard, which loads no DLL, and before anything that could load one. Without
// SetDefaultDllDirectories (a Windows 7 without KB2533623) only the current
// directory leaves the search, and the system's own later loads still look
// in the program's folder first.
void RestrictLibrarySearchToSystemDirectory();

// Loads a DLL of the system, by its file name, from the system directory,
// with its own dependencies taken from there as well. Null on failure.
HMODULE LoadSystemLibrary(const char* fileName);

// Binds every function of one delay-loaded DLL now, from the system
// directory: the linker leaves some of the 32-bit program's slots empty
// instead of pointing them at the helper. A missing DLL or function ends the
// program, as a missing import does.
void BindDelayLoadedImports(const ImgDelayDescr& descriptor);
