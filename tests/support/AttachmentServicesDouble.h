#pragma once
// A double of Windows' Attachment Services, built as an in-process server
// (tests/programs/AttachmentServicesDouble.cpp) that a test registers as
// Windows registers the real class: InprocServer32 with
// ThreadingModel=Apartment. COM then creates it as it would create the real
// one, in the apartment the caller's is or in a host apartment. It records
// its calls and the apartment and thread each came in, counts references,
// can hold Save until the test releases it, fail Save and remove the file.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>
#include <vector>

class AttachmentServicesDouble final : public IAttachmentExecute {
public:
    struct Call {
        std::wstring name;
        APTTYPE apartment;
        DWORD thread;
    };
    std::vector<Call> m_calls;  // "created" first, by the class object
    HRESULT m_hrSave = S_OK;
    bool m_bRemoveFile = false;
    bool m_bHoldSave = false;
    volatile LONG m_nRefs = 0;
    HANDLE m_hSaveEntered = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE m_hSaveReleased = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::wstring m_path;

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        *out = riid == IID_IUnknown || riid == IID_IAttachmentExecute ? (AddRef(), this) : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_nRefs); }
    STDMETHODIMP_(ULONG) Release() override { return ::InterlockedDecrement(&m_nRefs); }
    STDMETHODIMP SetClientGuid(REFGUID guid) override { return Log(guid != GUID_NULL ? L"SetClientGuid" : L"null"); }
    STDMETHODIMP SetLocalPath(LPCWSTR path) override { return Log(L"SetLocalPath " + (m_path = path)); }
    STDMETHODIMP SetSource(LPCWSTR source) override { return Log(std::wstring(L"SetSource ") + source); }
    STDMETHODIMP Save() override
    {
        Log(L"Save");
        if (m_bHoldSave) ::SignalObjectAndWait(m_hSaveEntered, m_hSaveReleased, 20000, FALSE);
        if (m_bRemoveFile) ::DeleteFileW(m_path.c_str());
        return m_hrSave;
    }
    // Nothing else is the program's business.
    STDMETHODIMP SetClientTitle(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP SetFileName(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP SetReferrer(LPCWSTR) override { return Log(L"unexpected"); }
    STDMETHODIMP CheckPolicy() override { return Log(L"unexpected"); }
    STDMETHODIMP Prompt(HWND, ATTACHMENT_PROMPT, ATTACHMENT_ACTION*) override { return Log(L"unexpected"); }
    STDMETHODIMP Execute(HWND, LPCWSTR, HANDLE*) override { return Log(L"unexpected"); }
    STDMETHODIMP SaveWithUI(HWND) override { return Log(L"unexpected"); }
    STDMETHODIMP ClearClientState() override { return Log(L"unexpected"); }

    HRESULT Log(const std::wstring& call)
    {
        APTTYPE apartment = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier;
        if (FAILED(::CoGetApartmentType(&apartment, &qualifier))) apartment = APTTYPE_CURRENT;
        m_calls.push_back({call, apartment, ::GetCurrentThreadId()});
        return call == L"unexpected" ? E_UNEXPECTED : S_OK;
    }
};

// The double's one object, exported by the server.
using AttachmentServicesDoubleFunction = AttachmentServicesDouble* (*)();
