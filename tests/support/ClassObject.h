#pragma once
// A class object for a test double: registered for a class id, it is what
// CoCreateInstance returns for that class in this process (on the registering
// thread's apartment) until it is destroyed. It hands out the one object it
// holds through QueryInterface and counts how often it was asked to.
#include <windows.h>
#include <objbase.h>

class ClassObject final : public IClassFactory {
public:
    ClassObject(const CLSID& clsid, IUnknown* object) : m_object(object)
    {
        m_registered =
            SUCCEEDED(CoRegisterClassObject(clsid, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie));
    }
    // Not registered: handed to an in-process server (InprocServer.cpp).
    explicit ClassObject(IUnknown* object) : m_object(object) {}
    ~ClassObject()
    {
        if (m_registered) CoRevokeClassObject(m_cookie);
    }
    ClassObject(const ClassObject&) = delete;
    ClassObject& operator=(const ClassObject&) = delete;
    bool registered() const { return m_registered; }
    int created() const { return m_created; }

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        ++m_created;
        APTTYPEQUALIFIER qualifier;
        if (FAILED(CoGetApartmentType(&m_createdIn, &qualifier))) m_createdIn = APTTYPE_CURRENT;
        m_createdOn = GetCurrentThreadId();
        if (outer) {
            *out = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return m_object->QueryInterface(riid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    IUnknown* m_object;
    DWORD m_cookie = 0;
    bool m_registered = false;
    int m_created = 0;

public:
    // The apartment and thread of the last creation.
    APTTYPE m_createdIn = APTTYPE_CURRENT;
    DWORD m_createdOn = 0;
};
