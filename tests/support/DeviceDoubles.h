// COM test doubles for device enumeration: pins, pin enumerators and
// filters that count their references, so that a leak or a double release
// shows up in the test that caused it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <stdexcept>
#include <string>
#include <vector>

// How a double's driver call goes wrong, as faulty driver code does.
enum class Fault { None, CppException, AccessViolation };

inline void RaiseFault(Fault fault)
{
    if (fault == Fault::CppException) throw std::runtime_error("driver failure");
    if (fault == Fault::AccessViolation) {
        volatile int* volatile target = nullptr;
        *target = 1;
    }
}

// Names of objects whose reference count reached zero, in that order.
inline std::vector<std::string> g_finalReleases;

// Reference counting shared by the doubles. Objects live on the test's stack;
// a count reaching zero is logged instead of deleting anything, and a count
// going below zero is recorded as an over-release.
class RefCounted {
public:
    explicit RefCounted(std::string name) : m_name(std::move(name)) {}
    ULONG DoAddRef() { return static_cast<ULONG>(++m_refs); }
    ULONG DoRelease()
    {
        --m_refs;
        if (m_refs == 0) g_finalReleases.push_back(m_name);
        if (m_refs < 0) m_overReleased = true;
        return static_cast<ULONG>(m_refs < 0 ? 0 : m_refs);
    }
    int refs() const { return m_refs; }
    bool overReleased() const { return m_overReleased; }
    const std::string& name() const { return m_name; }

private:
    std::string m_name;
    int m_refs = 1;  // the reference handed to whoever created the object
    bool m_overReleased = false;
};

// A counting double of one interface. Given an interface id, it answers
// QueryInterface for that interface and IUnknown; otherwise for nothing.
template <class Interface, const IID* INTERFACE_ID = nullptr>
class CountedDouble : public Interface, public RefCounted {
public:
    explicit CountedDouble(std::string name) : RefCounted(std::move(name)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        if constexpr (INTERFACE_ID != nullptr) {
            if (riid == IID_IUnknown || riid == *INTERFACE_ID) {
                AddRef();
                *out = static_cast<Interface*>(this);
                return S_OK;
            }
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }
};

class FakePin final : public CountedDouble<IPin> {
public:
    explicit FakePin(const std::string& name) : CountedDouble(name) {}

    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return E_NOTIMPL; }
    STDMETHODIMP ConnectedTo(IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_NOTIMPL; }
    STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
    STDMETHODIMP EndFlush() override { return E_NOTIMPL; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }
};

// Hands out each pin once, adding a reference for the caller as COM requires.
class FakeEnumPins final : public CountedDouble<IEnumPins> {
public:
    FakeEnumPins(const std::string& name, std::vector<FakePin*> pins) : CountedDouble(name), m_pins(std::move(pins)) {}

    STDMETHODIMP Next(ULONG wanted, IPin** out, ULONG* fetched) override
    {
        if (wanted != 1 || fetched != nullptr) return E_INVALIDARG;
        if (m_next == faultAt) RaiseFault(fault);
        if (m_next >= m_pins.size()) {
            *out = nullptr;
            return S_FALSE;
        }
        FakePin* pin = m_pins[m_next++];
        pin->AddRef();
        *out = pin;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IEnumPins**) override { return E_NOTIMPL; }

    size_t faultAt = SIZE_MAX;
    Fault fault = Fault::None;

private:
    std::vector<FakePin*> m_pins;
    size_t m_next = 0;
};

class FakeFilter final : public CountedDouble<IBaseFilter> {
public:
    FakeFilter(const std::string& name, std::vector<FakePin*> pins, bool enumFails = false)
        : CountedDouble(name), m_pins(std::move(pins)), m_enumFails(enumFails)
    {
    }

    STDMETHODIMP GetClassID(CLSID* clsid) override
    {
        RaiseFault(classIdFault);
        if (m_classIdFails) return E_FAIL;
        *clsid = m_clsid;
        return S_OK;
    }
    STDMETHODIMP Stop() override { return E_NOTIMPL; }
    STDMETHODIMP Pause() override { return E_NOTIMPL; }
    STDMETHODIMP Run(REFERENCE_TIME) override { return E_NOTIMPL; }
    STDMETHODIMP GetState(DWORD, FILTER_STATE*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }

    STDMETHODIMP EnumPins(IEnumPins** out) override
    {
        ++m_enumCalls;
        *out = nullptr;
        RaiseFault(enumPinsFault);
        if (m_enumFails) return E_FAIL;
        m_enumerators.push_back(new FakeEnumPins(name() + ".enum", m_pins));
        m_enumerators.back()->faultAt = nextFaultAt, m_enumerators.back()->fault = nextFault;
        *out = m_enumerators.back();
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // EnumPins, GetClassID or the Next that fetches pin `nextFaultAt` faults.
    Fault enumPinsFault = Fault::None, classIdFault = Fault::None, nextFault = Fault::None;
    size_t nextFaultAt = SIZE_MAX;

    ~FakeFilter()
    {
        for (FakeEnumPins* e : m_enumerators) delete e;
    }

    void SetClassId(const CLSID& clsid, bool fails = false)
    {
        m_clsid = clsid;
        m_classIdFails = fails;
    }
    int enumCalls() const { return m_enumCalls; }
    const std::vector<FakeEnumPins*>& enumerators() const { return m_enumerators; }

private:
    std::vector<FakePin*> m_pins;
    bool m_enumFails;
    int m_enumCalls = 0;
    CLSID m_clsid = GUID_NULL;
    bool m_classIdFails = false;
    std::vector<FakeEnumPins*> m_enumerators;
};
