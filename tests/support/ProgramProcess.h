#pragma once
// The built program started in a process of its own, so that it can be
// driven through its windows as a person would.
#include <windows.h>

#include <string>

// "Z:\..." for a path of the Linux file system, as Wine maps it.
std::string WindowsPath(const char* unixPath);

// The file-name box of a Save As dialog, or null when `dialog` is none.
HWND SaveAsFileNameBox(HWND dialog);

// A program process, ended by its handle if it is still running when the
// object goes.
class ProgramProcess {
public:
    ProgramProcess() = default;
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // `workingFolder` may be null (this process's folder).
    bool Start(const std::string& exe, const char* workingFolder);
    // The program's main (user-interface) thread.
    DWORD thread() const { return m_process.dwThreadId; }
    // True once the process has ended, within `timeoutMs`.
    bool HasExited(DWORD timeoutMs, DWORD* exitCode = nullptr);

private:
    PROCESS_INFORMATION m_process{};
};
