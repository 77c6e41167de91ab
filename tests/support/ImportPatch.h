#pragma once
// Replaces one imported function of this test program for the lifetime of
// the object, by rewriting its slot in the program's import address table.
// Product code linked into the test calls the replacement. Used to give a
// test the documented behaviour of a system function where Wine's is kinder
// than Windows', or to make a system call fail on demand.
#include <windows.h>

class ImportPatch {
public:
    // `dllName` is matched without regard to case ("oleaut32.dll").
    ImportPatch(const char* dllName, const char* functionName, const void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // False when the program does not import the function by that name.
    bool Applied() const { return m_pSlot != nullptr; }
    // The function the slot held before, for a replacement that calls on.
    template <class Function>
    Function Original() const
    {
        return reinterpret_cast<Function>(m_pOriginal);
    }

private:
    void** m_pSlot = nullptr;
    void* m_pOriginal = nullptr;
};
