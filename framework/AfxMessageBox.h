#pragma once
#include <windows.h>

// A message box captioned with the application name and owned by the
// window that is active in the application, as the framework shows them.
// `text` is one of the program's own texts, in code page 932; the box shows
// it as it is whatever the system's ANSI code page.
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpContextId = 0);
