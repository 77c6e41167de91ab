#pragma once
#include "framework/CDialog.h"

// The about box: name, version and copyright.
class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};
