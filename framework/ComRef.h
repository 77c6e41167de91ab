#pragma once
// One reference to a COM interface, given back exactly once when the holder
// lets it go: the program's one way to hold a COM reference. `Releaser`
// says how it is given back; the plain one calls the interface's Release,
// and the device code gives it back behind its driver guard.
#include <unknwn.h>

struct PlainRelease {
    static void Release(IUnknown* object) { object->Release(); }
};

template <class Interface, class Releaser = PlainRelease>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    // The slot a creating call writes a new reference into; whatever was
    // held is given back first.
    Interface** Receive()
    {
        Reset();
        return &m_pointer;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    Interface* Get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
    // Gives back what is held and takes over `pointer`'s reference.
    void Attach(Interface* pointer)
    {
        Reset();
        m_pointer = pointer;
    }
    // Hands the reference over to the caller, who gives it back.
    Interface* Detach()
    {
        Interface* pointer = m_pointer;
        m_pointer = nullptr;
        return pointer;
    }
    // Forgets a pointer that a failed call may have left behind without
    // handing over a reference.
    void Abandon() { m_pointer = nullptr; }
    void Reset()
    {
        if (m_pointer) Releaser::Release(m_pointer);
        m_pointer = nullptr;
    }

private:
    Interface* m_pointer = nullptr;
};
