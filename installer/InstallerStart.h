#pragma once
// The downloaded installer from the moment it is complete: held open,
// checked, and started only when its signature or the user says so.
#include <windows.h>

#include "installer/SignatureCheck.h"
#include "framework/CHandle.h"
#include "framework/CStringW.h"

// A file held open for reading: others may read it, but no program can
// change, replace, rename or delete it while it is held.
class CHeldFile {
public:
    explicit CHeldFile(LPCWSTR path);

    bool IsOpen() const { return m_file.IsValid(); }
    HANDLE Handle() const { return m_file; }

private:
    CHandle m_file;
};

// Holds the installer saved at `path` and starts its signature check at
// once, so that the verdict is usually in by the time the user asks to run
// it. Letting the object go lets the file go.
class CInstallerStart {
public:
    explicit CInstallerStart(LPCWSTR path, DWORD checkTimeoutMs = SIGNATURE_CHECK_TIMEOUT_MS);

    // Waits for the verdict with a window that says so and offers to stop,
    // reports a file Windows refuses, asks about one whose publisher is not
    // confirmed, and starts the installer when it may run.
    void Run();

private:
    CStringW m_path;
    CHeldFile m_file;
    CSignatureVerification m_check;
};
