#pragma once
// Where this program loads DLLs from. It is usually started from a Downloads
// folder, next to whatever else was downloaded there, and Windows' loader
// looks in the program's own folder first for every DLL that is not one of
// its KnownDLLs. So the import table names KnownDLLs only, the other system
// DLLs (the common controls among them) are delay-loaded once the search is
// limited, and every later load, the system's own included, is kept to the
// system directory.
#include <windows.h>
#include <delayimp.h>

// Keeps later DLL loads of this process, by the system's components too
// (Save As, the shell, COM), to the system directory. The program calls it
// first, before any window or COM. On a Windows 7 without the update that
// brings SetDefaultDllDirectories, only the current directory can be taken
// out of the search; the program's own DLLs are then loaded by full path.
void RestrictLibrarySearchToSystemDirectory();

// Loads a DLL of the system, by its file name, from the system directory,
// with its own dependencies taken from there as well. Null on failure.
HMODULE LoadSystemLibrary(const char* fileName);

// Binds every function of one delay-loaded DLL of this program now, through
// the delay-load helper and so from the system directory. The linker leaves
// the address slots of some delay-loaded DLLs of the 32-bit program empty
// instead of pointing them at the helper's thunks, so they are bound before
// first use rather than on it. A DLL or function that is missing ends the
// program, as a missing import does.
void BindDelayLoadedImports(const ImgDelayDescr& descriptor);
