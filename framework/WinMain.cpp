// The program's entry point; everything it does starts in the static
// application object's InitInstance.
#include <cstdlib>

#include "framework/CWinApp.h"
#include "framework/SystemLibraries.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Before anything that could load a DLL. The static constructors that
    // ran before this point load none: every DLL they use is imported.
    RestrictLibrarySearchToSystemDirectory();
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
