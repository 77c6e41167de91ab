#pragma once
// Window-free rules for where a dialog opens, kept apart from the windows so
// that they can be checked directly.
#include <windows.h>

#include <cstddef>

// What the dialog template says about its own placement.
struct DialogTemplateInfo {
    bool valid = false;
    bool extended = false;  // DLGTEMPLATEEX rather than the classic DLGTEMPLATE
    DWORD style = 0;
    DWORD extendedStyle = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    WORD itemCount = 0;
};

// Reads the header of a classic or extended dialog template; invalid when the
// block is too short to hold one.
DialogTemplateInfo ReadDialogTemplateInfo(const void* data, size_t size);

// A template placed at (0, 0) without a centring or absolute-position style is
// centred by the framework when it opens.
bool ShouldCentreDialog(const DialogTemplateInfo& info);

// Top-left corner that centres `window` over `owner` (the screen's work area
// when there is no visible owner), moved back inside the work area where the
// centred rectangle would stick out.
POINT CentredPosition(const RECT& window, const RECT* owner, const RECT& workArea);
