#pragma once
#include "framework/CWinApp.h"

// The application: shows the main dialog inside a COM apartment and ends
// when it closes.
class CDownloaderApp : public CWinApp {
public:
    CDownloaderApp() = default;
    BOOL InitInstance() override;
};
