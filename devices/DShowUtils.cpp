#include "devices/DShowUtils.h"

#include <dmodshow.h>

#include "devices/GuardedCall.h"
#include "framework/ComRef.h"
#include "framework/CString.h"
#include "trace/Trace.h"

const IID IID_IAMFilterData = {0x97f7c4d4, 0x547b, 0x4a5f, {0x83, 0x32, 0x53, 0x64, 0x30, 0xad, 0x2e, 0x4d}};

namespace {

// A reference to an object that a device (its driver) supplied, given back
// behind the guard.
struct DeviceRelease {
    template <class Interface>
    static void Release(Interface* object)
    {
        ReleaseDeviceObject(object);
    }
};
template <class Interface>
using DeviceRef = ComRef<Interface, DeviceRelease>;

bool AnySuccess(HRESULT hr)
{
    return SUCCEEDED(hr);
}

bool OnlyOk(HRESULT hr)
{
    return hr == S_OK;
}

// Runs a guarded driver call that hands out an interface into *out; true for
// an accepted result with a pointer. What a failed call left there holds no
// reference and is forgotten.
template <class Interface, class Call>
bool ReceiveFromDriver(DeviceRef<Interface>* out, Call call, const char* exceptLine,
                       bool (*accepted)(HRESULT) = AnySuccess)
{
    HRESULT hr = E_FAIL;
    auto guarded = [&] { hr = call(); };
    if (CallGuarded(guarded) != GUARD_COMPLETED) {
        TraceOut(exceptLine);
    } else if (accepted(hr) && *out) {
        return true;
    }
    out->Abandon();
    return false;
}

// One property read from a device's bag, cleared when it goes out of scope.
// A VARIANT that a faulting Read left half written is never touched.
class PropertyValue {
public:
    PropertyValue(IPropertyBag* bag, const wchar_t* name, VARTYPE type)
    {
        // VariantInit sets only the type: the pointer is cleared here, so
        // that a Read that fails without touching the VARIANT leaves nothing
        // for VariantClear to free.
        VariantInit(&m_value);
        m_value.vt = type;
        m_value.bstrVal = nullptr;
        m_completed = CallDevice([&] { m_result = bag->Read(name, &m_value, nullptr); });
    }
    ~PropertyValue()
    {
        if (m_completed) VariantClear(&m_value);
    }
    PropertyValue(const PropertyValue&) = delete;
    PropertyValue& operator=(const PropertyValue&) = delete;

    HRESULT result() const { return m_completed ? m_result : E_FAIL; }
    const VARIANT& value() const { return m_value; }

private:
    VARIANT m_value;
    HRESULT m_result = E_FAIL;
    bool m_completed = false;
};

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

// Reads a string property in the ANSI code page. False when it cannot be read
// as a string or converted. Running out of memory for the copy throws, as
// the framework's allocator does.
bool ReadStringProperty(IPropertyBag* bag, const wchar_t* name, CString* text)
{
    const PropertyValue property(bag, name, VT_BSTR);
    if (FAILED(property.result()) || property.value().vt != VT_BSTR) return false;
    return ConvertToAnsi(property.value().bstrVal, text);
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

// Size of a "FilterData" value, or 0 when it is not a byte vector that the
// parser can take. By reference the VARIANT holds a pointer to the array,
// and any other shape holds more or less than it claims.
ULONG ByteVectorSize(const VARIANT& data)
{
    if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray || SafeArrayGetDim(data.parray) != 1) return 0;
    VARTYPE elementType = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(data.parray, &elementType)) || elementType != VT_UI1 ||
        SafeArrayGetElemsize(data.parray) != 1)
        return 0;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(data.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(data.parray, 1, &upper)) ||
        upper < lower)
        return 0;
    const unsigned long long size = static_cast<unsigned long long>(static_cast<long long>(upper) - lower) + 1;
    return size <= 0xFFFFFFFFull ? static_cast<ULONG>(size) : 0;
}

// Has the system's parser read a device's registration bytes and takes the
// output subtype from the record; *subtype is left alone when there is none.
void ParseOutputSubtype(BYTE* bytes, ULONG size, GUID* subtype)
{
    DeviceRef<IAMFilterData> parser;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr,
                                CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER, IID_IAMFilterData,
                                parser.ReceiveVoid())) ||
        !parser) {
        parser.Abandon();
        return;
    }
    BYTE* block = nullptr;
    HRESULT hr = E_FAIL;
    if (!CallDevice([&] { hr = parser->ParseFilterData(bytes, size, &block); }) || FAILED(hr) || !block) return;
    // The block starts with a pointer to the registration record.
    const REGFILTER2* record = *reinterpret_cast<REGFILTER2**>(block);
    if (record) FindOutputSubtype(*record, subtype);
    CoTaskMemFree(block);
}

struct DeviceProperties {
    DeviceRef<IPropertyBag> pPropBag;
    CString name;
    char devicePath[MAX_DEVICE_PATH + 1] = {};
};

// Binds the device's property bag and reads its path and friendly name.
// False when the bag or the name cannot be read: the device is then neither
// counted nor listed.
bool ReadDeviceProperties(const GUID& category, IMoniker* pMoniker, DeviceProperties* device)
{
    const bool bound = ReceiveFromDriver(
        &device->pPropBag,
        [&] { return pMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, device->pPropBag.ReceiveVoid()); },
        "Except! pMoniker->BindToStorage\r\n");
    TraceOut("--- \r\n");
    if (!bound) return false;

    if (IsDeviceCategory(category)) {
        TraceOut("DevicePath\r\n");
        CString path;
        if (ReadStringProperty(device->pPropBag.Get(), L"DevicePath", &path))
            CopyCutToFit(device->devicePath, sizeof(device->devicePath), path);
    }
    TraceOut("pPropBag->Read\r\n");
    return ReadStringProperty(device->pPropBag.Get(), L"FriendlyName", &device->name);
}

// The GUID and compressor mark that an entry for `filter` carries. False
// when the filter is not listed.
bool DescribeFilter(IBaseFilter* filter, IPropertyBag* pPropBag, GUID* guid, BOOL* compressor)
{
    CLSID clsid = GUID_NULL;
    HRESULT hr = E_FAIL;
    if (!CallDevice([&] { hr = filter->GetClassID(&clsid); }) || FAILED(hr)) return false;
    const FilterTreatment treatment = ClassifyFilter(clsid);
    if (treatment == SKIP_FILTER) return false;
    *compressor = treatment == WRAPPED_CODEC || treatment == COMPRESSOR;
    *guid = clsid;
    if (treatment != WRAPPED_CODEC) return true;
    // Without an output media type in the filter data the entry keeps
    // GUID_NULL.
    *guid = GUID_NULL;
    return CDShowUtils::ReadFilterDataSubtype(pPropBag, guid) == 0;
}

// Hands the filter to a new entry at the end of the list and fills it in.
void AppendEntry(CFilterList* list, DeviceRef<IBaseFilter>* filter, const DeviceProperties& device, const GUID& guid,
                 BOOL compressor)
{
    const int countBefore = list->m_nCount;
    if (list->AddFilter(filter->Get(), TRUE) <= countBefore) return;  // `filter` still holds the reference
    // The list owns the reference now, even when it could not allocate the
    // entry (it released the filter then).
    filter->Detach();

    CFilterItem* item = list->m_ppItems[list->m_nCount - 1];
    if (!item || device.name.IsEmpty()) return;
    item->SetGuid(guid);
    item->SetName(device.name);
    item->m_bCompressor = compressor;
    if (device.devicePath[0] != '\0') item->SetDevicePath(device.devicePath);
}

// Binds and classifies the filter of a device whose properties were read,
// and lists it when it is accepted.
void ListDevice(IMoniker* pMoniker, DeviceProperties* device, CFilterList* list)
{
    DeviceRef<IBaseFilter> filter;
    if (!ReceiveFromDriver(
            &filter, [&] { return pMoniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReceiveVoid()); },
            "Except! pMoniker->BindToObject\r\n"))
        return;
    GUID guid = GUID_NULL;
    BOOL compressor = FALSE;
    if (!DescribeFilter(filter.Get(), device->pPropBag.Get(), &guid, &compressor)) return;
    device->pPropBag.Reset();
    AppendEntry(list, &filter, *device, guid, compressor);
}

// Creates the system device enumerator and from it the enumerator of the
// category's devices. False when either is not there (an empty category
// has no enumerator).
bool OpenCategory(const GUID& category, DeviceRef<ICreateDevEnum>* pSysDevEnum, DeviceRef<IEnumMoniker>* pEnumCat)
{
    const HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                        IID_ICreateDevEnum, pSysDevEnum->ReceiveVoid());
    if (FAILED(hr) || !*pSysDevEnum) {
        pSysDevEnum->Abandon();
        return false;
    }
    return ReceiveFromDriver(
        pEnumCat, [&] { return (*pSysDevEnum)->CreateClassEnumerator(category, pEnumCat->Receive(), 0); },
        "Except! pSysDevEnum->CreateClassEnumerator \r\n");
}

// Walks the category's devices and lists those that are accepted. Returns
// how many had a readable friendly name.
int ListDevices(const GUID& category, IEnumMoniker* pEnumCat, CFilterList* list)
{
    int namedDevices = 0;
    for (;;) {
        TraceOut("--- \r\n");
        DeviceRef<IMoniker> pMoniker;
        ULONG fetched = 0;
        if (!ReceiveFromDriver(
                &pMoniker, [&] { return pEnumCat->Next(1, pMoniker.Receive(), &fetched); },
                "Except! pEnumCat->Next\r\n", OnlyOk))
            break;
        TraceOut("--- \r\n");
        DeviceProperties device;
        if (!ReadDeviceProperties(category, pMoniker.Get(), &device)) continue;
        ++namedDevices;
        ListDevice(pMoniker.Get(), &device, list);
    }
    return namedDevices;
}

}  // namespace

int CDShowUtils::GetFilterList(const GUID& category, CFilterList* list)
{
    TraceOut("CDShowUtils::GetFilterList \r\n");
    int namedDevices = 0;
    if (list) {
        TraceOut("CoCreateInstance(CLSID_SystemDeviceEnum \r\n");
        DeviceRef<ICreateDevEnum> pSysDevEnum;
        DeviceRef<IEnumMoniker> pEnumCat;
        if (OpenCategory(category, &pSysDevEnum, &pEnumCat)) {
            // The stage texts of the trace are fixed, so that traces of
            // different versions line up: this one marks the enumerator.
            TraceOut("// (2) \r\n");
            namedDevices = ListDevices(category, pEnumCat.Get(), list);
            // Ends the device loop; every "--- " before it marks a step of
            // one device.
            TraceOut("---1 \r\n");
        }
    }
    TraceOut("return %d \r\n", namedDevices);
    return namedDevices;
}

int CDShowUtils::ReadFilterDataSubtype(IPropertyBag* pPropBag, GUID* subtype)
{
    if (!pPropBag || !subtype) return 1;
    const PropertyValue data(pPropBag, L"FilterData", VT_EMPTY);
    const ULONG size = data.result() == S_OK ? ByteVectorSize(data.value()) : 0;
    SAFEARRAY* array = size ? data.value().parray : nullptr;
    BYTE* bytes = nullptr;
    if (array && SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&bytes)))) {
        ParseOutputSubtype(bytes, size, subtype);
        SafeArrayUnaccessData(array);
    }
    return 0;
}
