// The in-process server of the Attachment Services double
// (tests/support/AttachmentServicesDouble.h).
#include "tests/support/AttachmentServicesDouble.h"

namespace {

AttachmentServicesDouble s_double;

class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        *out = riid == IID_IUnknown || riid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        s_double.Log(L"created");
        return s_double.QueryInterface(riid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
} s_factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    *out = nullptr;
    if (clsid != CLSID_AttachmentServices) return CLASS_E_CLASSNOTAVAILABLE;
    return s_factory.QueryInterface(riid, out);
}

// Stays loaded: the test holds the object's record.
extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow()
{
    return S_FALSE;
}

extern "C" __declspec(dllexport) AttachmentServicesDouble* AttachmentServicesDoubleObject()
{
    return &s_double;
}
