#pragma once
// Where the body is written while it arrives.
#include <windows.h>

#include <cstdio>

// The body is written to a file of its own in the target's folder, so that a
// failed or cancelled transfer never touches a file the user already had, and
// an earlier transfer still finishing never touches a later one's file. The
// file is moved over the target only by MoveOver; otherwise it is removed.
class CTemporaryFile {
public:
    CTemporaryFile() = default;
    ~CTemporaryFile();
    CTemporaryFile(const CTemporaryFile&) = delete;
    CTemporaryFile& operator=(const CTemporaryFile&) = delete;

    // False for a target that IsUsableTarget refuses.
    bool Create(LPCWSTR target);
    bool Write(const void* data, size_t size) { return std::fwrite(data, size, 1, m_pFile) == 1; }
    // Empties the file for a body that starts again from its first byte.
    bool Truncate();
    // Keeps the file when it is closed; false when the buffered end of the
    // body could not be written or the system refused.
    bool Keep();
    // False when buffered data could not be written (a full disk).
    bool Close();
    bool MoveOver(LPCWSTR target);

private:
    static bool SetDeleteOnClose(HANDLE hFile, BOOL bDelete);

    wchar_t m_szPath[MAX_PATH] = {};
    FILE* m_pFile = nullptr;
};

// Whether `target`, a full path, is short enough for the file and for the
// temporary file beside it: shorter than MAX_PATH, in a folder that
// GetTempFileNameW takes (MAX_PATH - 14 units at most).
bool IsUsableTarget(LPCWSTR target);

// Whether the target can be written, found out without truncating an existing
// file; a file the check itself created is removed again. A path of MAX_PATH
// UTF-16 units or more cannot: it is never cut, which would name another file.
bool CanWriteTarget(LPCWSTR path);
