#pragma once
// A kernel handle that closes itself, as ATL's CHandle: the one owner of a
// thread, event or file handle. Both null and INVALID_HANDLE_VALUE (which
// CreateFile returns on failure) mean no handle.
#include <windows.h>

class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle) : m_h(handle) {}
    ~CHandle() { Close(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    operator HANDLE() const { return m_h; }
    // Closes the handle held, if any, and takes `handle`.
    void Attach(HANDLE handle)
    {
        Close();
        m_h = handle;
    }
    // Gives the handle up to the caller, who closes it.
    HANDLE Detach()
    {
        const HANDLE handle = m_h;
        m_h = nullptr;
        return handle;
    }
    void Close()
    {
        if (IsValid()) ::CloseHandle(m_h);
        m_h = nullptr;
    }

    HANDLE m_h = nullptr;
};
