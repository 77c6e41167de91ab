#include "framework/AfxMessageBox.h"

#include "framework/CDialog.h"
#include "framework/CHiddenMainWindow.h"
#include "framework/CWideText.h"
#include "framework/CWinApp.h"

int AfxMessageBox(const char* text, UINT type, UINT /*helpContextId*/)
{
    // As MFC does: a box without an icon of its own gets the one that fits
    // its buttons.
    if ((type & MB_ICONMASK) == 0) {
        switch (type & MB_TYPEMASK) {
            case MB_OK:
            case MB_OKCANCEL:
                type |= MB_ICONEXCLAMATION;
                break;
            case MB_YESNO:
            case MB_YESNOCANCEL:
                type |= MB_ICONQUESTION;
                break;
            case MB_ABORTRETRYIGNORE:
            case MB_RETRYCANCEL:
                break;
        }
    }
    HWND owner = AfxGetSafeOwner(nullptr);
    if (!owner) owner = ::GetActiveWindow();
    owner = CHiddenMainWindow::MessageBoxOwner(owner, type);
    // The caption, the program's file name, is system data in the ANSI code
    // page; the text is the program's own.
    return ::MessageBoxW(owner, CWideText(text, PROGRAM_TEXT_CODE_PAGE), CWideText(AfxGetAppName(), CP_ACP), type);
}
