// The program's entry point; everything it does starts in the static
// application object's InitInstance.
#include <cstdlib>

#include "framework/CWinApp.h"
#include "framework/StackGuard.h"
#include "framework/SystemLibraries.h"

// The common controls and the system DLLs that use them, delay-loaded
// (cmake/DelayLoad.cmake): loaded at start, they would load the DLLs they use
// from the program's folder.
extern "C" const ImgDelayDescr g_comctl32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_comctl32_a");
extern "C" const ImgDelayDescr g_comdlg32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_comdlg32_a");
extern "C" const ImgDelayDescr g_shell32Imports __asm__("__DELAY_IMPORT_DESCRIPTOR_shell32_a");

__attribute__((no_stack_protector)) int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitialiseStackGuard();
    // Before anything that could load a DLL. The static constructors that
    // ran before this point load none: every DLL they use is imported.
    RestrictLibrarySearchToSystemDirectory();
    // The common controls first, so that the others find version 6 loaded.
    BindDelayLoadedImports(g_comctl32Imports);
    BindDelayLoadedImports(g_comdlg32Imports);
    BindDelayLoadedImports(g_shell32Imports);
    return AfxWinMain(instance);
}

// Takes the place of the C++ runtime's default terminate handler, which
// prints the type of an uncaught exception for a console that this program
// does not have and brings a symbol demangler (about a tenth of the program)
// with it. An uncaught exception (memory exhaustion) ends the program as
// abort does.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}  // namespace __gnu_cxx
