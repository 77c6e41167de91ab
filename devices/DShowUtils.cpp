#include "devices/DShowUtils.h"

#include <dmodshow.h>

#include "devices/GuardedCall.h"
#include "framework/CString.h"
#include "trace/Trace.h"

const IID IID_IAMFilterData = {0x97f7c4d4, 0x547b, 0x4a5f, {0x83, 0x32, 0x53, 0x64, 0x30, 0xad, 0x2e, 0x4d}};

namespace {

// Holds one interface reference and releases it exactly once.
template <class Interface>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    Interface** Receive()
    {
        Reset();
        return &m_pointer;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    Interface* Get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
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
        ReleaseDeviceObject(m_pointer);
        m_pointer = nullptr;
    }

private:
    Interface* m_pointer = nullptr;
};

// Runs one driver call that may throw or fault. Returns false, after
// tracing `exceptLine`, when it did; `result` then stays as it was.
template <class Call>
bool RunDriverCall(Call call, HRESULT* result, const char* exceptLine)
{
    auto guarded = [&] { *result = call(); };
    if (CallGuarded(guarded) == GUARD_COMPLETED) return true;
    TraceOut(exceptLine);
    return false;
}

// Converts a property's string to the ANSI code page, up to its first zero
// character. False when it cannot be converted.
bool ConvertToAnsi(BSTR value, CString* text)
{
    if (!value || !value[0]) {
        *text = "";
        return true;
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, value, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    char* buffer = text->GetBuffer(size - 1);
    const bool converted = WideCharToMultiByte(CP_ACP, 0, value, -1, buffer, size, nullptr, nullptr) == size;
    text->ReleaseBuffer(converted ? -1 : 0);
    return converted;
}

// Reads a string property and converts it to the ANSI code page. False when
// the property cannot be read as a string or cannot be converted. Running
// out of memory for the copy throws, as the framework's allocator does.
bool ReadStringProperty(IPropertyBag* bag, const wchar_t* name, CString* text)
{
    // VariantInit sets only the type: the string pointer is set here, so that
    // a Read that fails without touching the VARIANT leaves nothing for
    // VariantClear to free.
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = nullptr;
    HRESULT hr = E_FAIL;
    // A VARIANT that a faulting Read left half written is not touched.
    if (!CallDevice([&] { hr = bag->Read(name, &value, nullptr); })) return false;
    if (FAILED(hr) || value.vt != VT_BSTR) {
        VariantClear(&value);
        return false;
    }
    bool converted;
    try {
        converted = ConvertToAnsi(value.bstrVal, text);
    } catch (...) {
        VariantClear(&value);
        throw;
    }
    VariantClear(&value);
    return converted;
}

// Copies text into buffer, cut at a character boundary so that a double-byte
// character is never split, and always terminated.
void CopyCutToFit(char* buffer, size_t size, const char* text)
{
    const size_t used = CharacterBoundaryLength(text, size - 1);
    memcpy(buffer, text, used);
    buffer[used] = '\0';
}

bool IsDeviceCategory(const GUID& category)
{
    return IsEqualGUID(category, CLSID_VideoInputDeviceCategory) ||
           IsEqualGUID(category, CLSID_AudioInputDeviceCategory);
}

// How an enumerated filter is treated, by its class identifier.
enum FilterTreatment { SKIP_FILTER, WRAPPED_CODEC, COMPRESSOR, PLAIN_FILTER };

FilterTreatment ClassifyFilter(const CLSID& clsid)
{
    if (IsEqualGUID(clsid, GUID_NULL) || IsEqualGUID(clsid, CLSID_DMOWrapperFilter)) return SKIP_FILTER;
    if (IsEqualGUID(clsid, CLSID_AVICo) || IsEqualGUID(clsid, CLSID_ACMWrapper)) return WRAPPED_CODEC;
    if (IsEqualGUID(clsid, CLSID_DVVideoEnc)) return COMPRESSOR;
    return PLAIN_FILTER;
}

// First output pin with media types, in either registration record layout.
bool FindOutputSubtype(const REGFILTER2& record, GUID* subtype)
{
    const REGPINTYPES* types = nullptr;
    if (record.dwVersion == 1 && record.rgPins) {
        for (ULONG i = 0; i < record.cPins && !types; ++i) {
            const REGFILTERPINS& pin = record.rgPins[i];
            if (pin.bOutput && pin.nMediaTypes && pin.lpMediaType) types = pin.lpMediaType;
        }
    } else if (record.dwVersion == 2 && record.rgPins2) {
        for (ULONG i = 0; i < record.cPins2 && !types; ++i) {
            const REGFILTERPINS2& pin = record.rgPins2[i];
            if ((pin.dwFlags & REG_PINFLAG_B_OUTPUT) && pin.nMediaTypes && pin.lpMediaType) types = pin.lpMediaType;
        }
    }
    if (!types || !types[0].clsMinorType) return false;
    *subtype = *types[0].clsMinorType;
    return true;
}

// One device of the category: reads its properties, binds its filter and,
// when the filter is accepted, appends and fills an entry. Returns 1 when
// the device's friendly name was read (it then counts), else 0.
int AddDevice(const GUID& category, IMoniker* moniker, CFilterList* list)
{
    ComRef<IPropertyBag> bag;
    HRESULT hr = E_FAIL;
    bool completed =
        RunDriverCall([&] { return moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid()); },
                      &hr, "Except! pMoniker->BindToStorage\r\n");
    TraceOut("--- \r\n");
    if (!completed || FAILED(hr) || !bag) {
        bag.Abandon();
        return 0;
    }

    char devicePath[MAX_DEVICE_PATH + 1] = {};
    if (IsDeviceCategory(category)) {
        TraceOut("DevicePath\r\n");
        CString path;
        if (ReadStringProperty(bag.Get(), L"DevicePath", &path)) CopyCutToFit(devicePath, sizeof(devicePath), path);
    }

    TraceOut("pPropBag->Read\r\n");
    CString name;
    if (!ReadStringProperty(bag.Get(), L"FriendlyName", &name)) return 0;

    ComRef<IBaseFilter> filter;
    hr = E_FAIL;
    completed =
        RunDriverCall([&] { return moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReceiveVoid()); },
                      &hr, "Except! pMoniker->BindToObject\r\n");
    if (!completed || FAILED(hr) || !filter) {
        filter.Abandon();
        return 1;
    }

    CLSID clsid = GUID_NULL;
    hr = E_FAIL;
    if (!CallDevice([&] { hr = filter->GetClassID(&clsid); }) || FAILED(hr)) return 1;

    GUID guid = clsid;
    BOOL compressor = FALSE;
    switch (ClassifyFilter(clsid)) {
        case SKIP_FILTER:
            return 1;
        case WRAPPED_CODEC:
            // Without an output media type in the filter data the entry keeps
            // GUID_NULL.
            guid = GUID_NULL;
            if (CDShowUtils::ReadFilterDataSubtype(bag.Get(), &guid) != 0) return 1;
            compressor = TRUE;
            break;
        case COMPRESSOR:
            compressor = TRUE;
            break;
        case PLAIN_FILTER:
            break;
    }

    bag.Reset();
    int countBefore = list->m_nCount;
    if (list->AddFilter(filter.Get(), TRUE) <= countBefore)
        return 1;  // nothing was added: the filter is released with `filter`
    // The list owns the reference now, even when it could not allocate the
    // entry (it released the filter then).
    filter.Detach();

    CFilterItem* item = list->m_ppItems[list->m_nCount - 1];
    if (!item || name.IsEmpty()) return 1;
    item->SetGuid(guid);
    item->SetName(name);
    item->m_bCompressor = compressor;
    if (devicePath[0] != '\0') item->SetDevicePath(devicePath);
    return 1;
}

}  // namespace

int CDShowUtils::GetFilterList(const GUID& category, CFilterList* list)
{
    TraceOut("CDShowUtils::GetFilterList \r\n");
    int count = 0;
    if (list) {
        TraceOut("CoCreateInstance(CLSID_SystemDeviceEnum \r\n");
        ComRef<ICreateDevEnum> pSysDevEnum;
        HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                      IID_ICreateDevEnum, pSysDevEnum.ReceiveVoid());
        ComRef<IEnumMoniker> pEnumCat;
        if (SUCCEEDED(hr) && pSysDevEnum) {
            hr = E_FAIL;
            bool completed =
                RunDriverCall([&] { return pSysDevEnum->CreateClassEnumerator(category, pEnumCat.Receive(), 0); }, &hr,
                              "Except! pSysDevEnum->CreateClassEnumerator \r\n");
            if (!completed || FAILED(hr)) pEnumCat.Abandon();
        } else {
            pSysDevEnum.Abandon();
        }

        if (pEnumCat) {
            // The stage texts of the trace are fixed, so that traces of
            // different versions line up: this one marks the enumerator.
            TraceOut("// (2) \r\n");
            for (;;) {
                TraceOut("--- \r\n");
                ComRef<IMoniker> pMoniker;
                ULONG fetched = 0;
                hr = E_FAIL;
                if (!RunDriverCall([&] { return pEnumCat->Next(1, pMoniker.Receive(), &fetched); }, &hr,
                                   "Except! pEnumCat->Next\r\n")) {
                    pMoniker.Abandon();
                    break;
                }
                if (hr != S_OK || !pMoniker) {
                    if (hr != S_OK) pMoniker.Abandon();
                    break;
                }
                TraceOut("--- \r\n");
                count += AddDevice(category, pMoniker.Get(), list);
            }
            // Marks the end of the device loop; every "--- " before it marks
            // a step of one device.
            TraceOut("---1 \r\n");
        }
    }
    TraceOut("return %d \r\n", count);
    return count;
}

int CDShowUtils::ReadFilterDataSubtype(IPropertyBag* pPropBag, GUID* subtype)
{
    if (!pPropBag || !subtype) return 1;

    VARIANT data;
    VariantInit(&data);
    HRESULT hr = E_FAIL;
    if (!CallDevice([&] { hr = pPropBag->Read(L"FilterData", &data, nullptr); })) return 0;
    // A byte vector, nothing else: by reference the VARIANT holds a pointer
    // to the array, and any other shape holds more or less than it claims.
    LONG lower = 0, upper = -1;
    VARTYPE elementType = VT_EMPTY;
    if (hr == S_OK && data.vt == (VT_ARRAY | VT_UI1) && data.parray && SafeArrayGetDim(data.parray) == 1 &&
        SUCCEEDED(SafeArrayGetVartype(data.parray, &elementType)) && elementType == VT_UI1 &&
        SafeArrayGetElemsize(data.parray) == 1 && SUCCEEDED(SafeArrayGetLBound(data.parray, 1, &lower)) &&
        SUCCEEDED(SafeArrayGetUBound(data.parray, 1, &upper)) && upper >= lower) {
        SAFEARRAY* array = data.parray;
        BYTE* bytes = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&bytes)))) {
            const unsigned long long size = static_cast<unsigned long long>(static_cast<long long>(upper) - lower) + 1;
            ComRef<IAMFilterData> parser;
            if (size <= 0xFFFFFFFFull &&
                SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr,
                                           CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                                           IID_IAMFilterData, parser.ReceiveVoid())) &&
                parser) {
                // The system's parser reads what the device registered.
                BYTE* block = nullptr;
                hr = E_FAIL;
                if (CallDevice([&] { hr = parser->ParseFilterData(bytes, static_cast<ULONG>(size), &block); }) &&
                    SUCCEEDED(hr) && block) {
                    // The block starts with a pointer to the registration record.
                    const REGFILTER2* record = *reinterpret_cast<REGFILTER2**>(block);
                    if (record) FindOutputSubtype(*record, subtype);
                    CoTaskMemFree(block);
                }
            } else {
                parser.Abandon();
            }
            SafeArrayUnaccessData(array);
        }
    }
    VariantClear(&data);
    return 0;
}
