#pragma once
// The common-controls progress bar, bound to a dialog item by DDX_Control.
#include <commctrl.h>

#include "framework/CWnd.h"

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    int SetPos(int position) { return static_cast<int>(SendMessage(PBM_SETPOS, position)); }
    int GetPos() { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};
