// An in-process server for a test double, registered as Windows registers the
// real class: COM loads it and creates the object in the apartment the class's
// threading model calls for. The test process hands it the class object.
#include <windows.h>
#include <objbase.h>

namespace {
IClassFactory* s_classObject;
}

extern "C" __declspec(dllexport) void SetClassObject(IClassFactory* classObject)
{
    s_classObject = classObject;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID riid, void** out)
{
    *out = nullptr;
    return s_classObject ? s_classObject->QueryInterface(riid, out) : CLASS_E_CLASSNOTAVAILABLE;
}

// Stays loaded: the test owns the class object it was handed.
extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow()
{
    return S_FALSE;
}
