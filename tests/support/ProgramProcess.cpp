#include "tests/support/ProgramProcess.h"

namespace {

// File-name box of the Save As dialog: the edit of a combo box, or an edit.
constexpr int kFileNameCombo = 0x47c;
constexpr int kFileNameEdit = 0x480;

}  // namespace

std::string WindowsPath(const char* unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

HWND SaveAsFileNameBox(HWND dialog)
{
    HWND box = GetDlgItem(dialog, kFileNameCombo);
    return box ? box : GetDlgItem(dialog, kFileNameEdit);
}

ProgramProcess::~ProgramProcess()
{
    if (!m_process.hProcess) return;
    if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 10000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
}

bool ProgramProcess::Start(const std::string& exe, const char* workingFolder)
{
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    return CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, workingFolder, &startup,
                          &m_process) != FALSE;
}

bool ProgramProcess::HasExited(DWORD timeoutMs, DWORD* exitCode)
{
    if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    if (exitCode) GetExitCodeProcess(m_process.hProcess, exitCode);
    return true;
}
