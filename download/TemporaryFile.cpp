#include "download/TemporaryFile.h"

#include <shlwapi.h>

#include <fcntl.h>
#include <io.h>

#include "framework/CHandle.h"

CTemporaryFile::~CTemporaryFile()
{
    Close();
    if (m_szPath[0]) ::DeleteFileW(m_szPath);
}

namespace {

// The longest folder GetTempFileNameW takes; its name for the file then fits
// in MAX_PATH.
constexpr int MAX_TEMPORARY_FOLDER = MAX_PATH - 14;

// The folder of `target`, "." for a bare name; false when either is too long.
bool TargetFolder(LPCWSTR target, wchar_t (&folder)[MAX_PATH])
{
    if (::lstrlenW(target) >= MAX_PATH) return false;
    ::lstrcpynW(folder, target, MAX_PATH);
    ::PathRemoveFileSpecW(folder);
    if (!folder[0]) ::lstrcpynW(folder, L".", MAX_PATH);
    return ::lstrlenW(folder) <= MAX_TEMPORARY_FOLDER;
}

}  // namespace

bool IsUsableTarget(LPCWSTR target)
{
    wchar_t folder[MAX_PATH];
    return TargetFolder(target, folder);
}

bool CTemporaryFile::Create(LPCWSTR target)
{
    wchar_t szFolder[MAX_PATH];
    if (!TargetFolder(target, szFolder) || !::GetTempFileNameW(szFolder, L"qdl", 0, m_szPath)) {
        m_szPath[0] = L'\0';
        return false;
    }
    // Marked for deletion while it is open, so that the system removes it
    // even when the process ends in the middle of a transfer (the program
    // closed while a cancelled worker still waits in a read, or a crash).
    CHandle hFile(::CreateFileW(m_szPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile.IsValid()) return false;
    SetDeleteOnClose(hFile, TRUE);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(hFile.m_h), _O_WRONLY | _O_BINARY);
    if (fd == -1) return false;
    // The descriptor owns the handle now.
    hFile.m_h = nullptr;
    m_pFile = _fdopen(fd, "wb");
    if (!m_pFile) _close(fd);
    return m_pFile != nullptr;
}

bool CTemporaryFile::Truncate()
{
    if (std::fflush(m_pFile) != 0 || std::ferror(m_pFile)) return false;
    HANDLE hFile = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_pFile)));
    return std::fseek(m_pFile, 0, SEEK_SET) == 0 && ::SetEndOfFile(hFile);
}

// The flush is checked here: after a failed flush the C runtime may drop the
// buffer, and the close then succeeds on a cut-short file.
bool CTemporaryFile::Keep()
{
    if (!m_pFile) return false;
    if (std::fflush(m_pFile) != 0 || std::ferror(m_pFile)) return false;
    return SetDeleteOnClose(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_pFile))), FALSE);
}

bool CTemporaryFile::Close()
{
    if (!m_pFile) return true;
    const bool failedBefore = std::ferror(m_pFile) != 0;
    const bool closed = std::fclose(m_pFile) == 0 && !failedBefore;
    m_pFile = nullptr;
    return closed;
}

bool CTemporaryFile::MoveOver(LPCWSTR target)
{
    if (!::MoveFileExW(m_szPath, target, MOVEFILE_REPLACE_EXISTING)) return false;
    m_szPath[0] = L'\0';
    return true;
}

bool CTemporaryFile::SetDeleteOnClose(HANDLE hFile, BOOL bDelete)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = static_cast<BOOLEAN>(bDelete);
    return ::SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool CanWriteTarget(LPCWSTR path)
{
    if (::lstrlenW(path) >= MAX_PATH) return false;
    // Checked by attribute as well: a process with the rights to write any
    // file would otherwise replace a file the user marked read-only.
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    CHandle hFile(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile.IsValid()) return false;
    const bool bCreated = ::GetLastError() != ERROR_ALREADY_EXISTS;
    hFile.Close();
    if (bCreated) ::DeleteFileW(path);
    return true;
}
