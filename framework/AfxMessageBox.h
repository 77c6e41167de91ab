#pragma once
#include <windows.h>

// A message box captioned with the application name and owned by the
// window that is active in the application, as the framework shows them.
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpContextId = 0);
