// Device enumeration over COM test doubles reached through the real
// CoCreateInstance: a device enumerator and a filter-data parser registered
// as this process's class objects. Every double counts its references, and
// every test checks the exact trace lines the enumeration wrote.
#include <gtest/gtest.h>

#include <dmodshow.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/DShowUtils.h"
#include "tests/support/ClassObject.h"
#include "tests/support/DebugOutputCapture.h"
#include "tests/support/DeviceDoubles.h"
#include "tests/support/ImportPatch.h"
#include "trace/Trace.h"

namespace {

// {6C2B7E10-1D51-4F0A-9E55-0E4D3A6B2C01}: the class of an ordinary camera filter.
const CLSID CAMERA_FILTER_CLASS = {0x6c2b7e10, 0x1d51, 0x4f0a, {0x9e, 0x55, 0x0e, 0x4d, 0x3a, 0x6b, 0x2c, 0x01}};

// What one simulated device answers.
struct DeviceScript {
    const wchar_t* friendlyName = L"USB Camera";  // null: the property is missing
    const wchar_t* devicePath = nullptr;          // null: the property is missing
    std::vector<BYTE> filterData;                 // empty: the property is missing
    // The VARIANT's type; with VT_BYREF it points at the bag's array. A
    // second dimension holds no data and the first claims the bytes.
    VARTYPE filterDataType = VT_ARRAY | VT_UI1;
    LONG filterDataLowerBound = 0;
    bool bTwoDimensions = false;
    HRESULT bindStorageResult = S_OK;
    Fault bindStorageFault = Fault::None;
    HRESULT bindObjectResult = S_OK;
    Fault bindObjectFault = Fault::None;
    CLSID clsid = CAMERA_FILTER_CLASS;
    bool classIdFails = false;
    Fault classIdFault = Fault::None, friendlyNameFault = Fault::None;
};

class FakePropertyBag final : public CountedDouble<IPropertyBag> {
public:
    FakePropertyBag(const std::string& name, const DeviceScript& script) : CountedDouble(name), m_script(script) {}

    STDMETHODIMP Read(LPCOLESTR property, VARIANT* value, IErrorLog*) override
    {
        std::wstring name = property;
        m_reads.push_back(name);
        if (name == L"FriendlyName") RaiseFault(m_script.friendlyNameFault);
        const wchar_t* text = nullptr;
        if (name == L"FriendlyName")
            text = m_script.friendlyName;
        else if (name == L"DevicePath")
            text = m_script.devicePath;
        else if (name == L"FilterData" && !m_script.filterData.empty()) {
            SAFEARRAYBOUND bounds[2] = {
                {0, 0}, {static_cast<ULONG>(m_script.filterData.size()), m_script.filterDataLowerBound}};
            m_array = SafeArrayCreate(m_script.filterDataType & VT_TYPEMASK, m_script.bTwoDimensions ? 2 : 1,
                                      bounds + !m_script.bTwoDimensions);
            if (!m_script.bTwoDimensions)
                memcpy(m_array->pvData, m_script.filterData.data(), m_script.filterData.size());
            value->vt = m_script.filterDataType;
            value->parray = m_array;
            if (value->vt & VT_BYREF)
                value->pparray = &m_array;
            else
                m_array = nullptr;
            return S_OK;
        }
        // A string pointer already in the VARIANT would be leaked by a bag
        // that fills it, or freed by the caller after one that does not.
        if (value->vt == VT_BSTR && value->bstrVal != nullptr) {
            ADD_FAILURE() << "Read of a string property handed a VARIANT whose bstrVal is not null";
            value->bstrVal = nullptr;
        }
        if (!text) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        if (value->vt != VT_BSTR) return E_INVALIDARG;
        value->bstrVal = SysAllocString(text);
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

    const std::vector<std::wstring>& reads() const { return m_reads; }
    ~FakePropertyBag() { SafeArrayDestroy(m_array); }

private:
    const DeviceScript& m_script;
    std::vector<std::wstring> m_reads;
    // An array handed out by reference, and zeros after it for a reader
    // that takes the pointer's address for the array.
    SAFEARRAY* m_array = nullptr;
    ULONG_PTR m_zeros[8] = {};
};

// One device: its moniker, property bag, filter and the filter's pin.
class FakeMoniker final : public CountedDouble<IMoniker> {
public:
    FakeMoniker(const std::string& name, DeviceScript script)
        : CountedDouble(name),
          m_script(std::move(script)),
          m_bag(name + ".bag", m_script),
          m_pin(name + ".pin"),
          m_filter(name + ".filter", {&m_pin})
    {
        m_filter.SetClassId(m_script.clsid, m_script.classIdFails);
        m_filter.classIdFault = m_script.classIdFault;
    }

    STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** out) override
    {
        return Bind(riid, IID_IPropertyBag, m_script.bindStorageFault, m_script.bindStorageResult,
                    static_cast<IPropertyBag*>(&m_bag), out);
    }
    STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** out) override
    {
        return Bind(riid, IID_IBaseFilter, m_script.bindObjectFault, m_script.bindObjectResult,
                    static_cast<IBaseFilter*>(&m_filter), out);
    }

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDirty() override { return E_NOTIMPL; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP Enum(BOOL, IEnumMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP IsEqual(IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP Hash(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    STDMETHODIMP Inverse(IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR*) override { return E_NOTIMPL; }
    STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP IsSystemMoniker(DWORD*) override { return E_NOTIMPL; }

    // Every object of the device is back to its creator's reference.
    void ExpectBalanced() const
    {
        for (const RefCounted* object : std::vector<const RefCounted*>{this, &m_bag, &m_filter, &m_pin}) {
            EXPECT_EQ(1, object->refs()) << object->name();
            EXPECT_FALSE(object->overReleased()) << object->name();
        }
    }

    const FakePropertyBag& bag() const { return m_bag; }
    FakeFilter& filter() { return m_filter; }

private:
    // Hands out `object` for the interface it is bound as, after the
    // scripted fault and result.
    static HRESULT Bind(REFIID riid, const IID& boundAs, Fault fault, HRESULT result, IUnknown* object, void** out)
    {
        *out = nullptr;
        RaiseFault(fault);
        if (riid != boundAs) return E_NOINTERFACE;
        if (FAILED(result)) return result;
        object->AddRef();
        *out = object;
        return S_OK;
    }

    DeviceScript m_script;
    FakePropertyBag m_bag;
    FakePin m_pin;
    FakeFilter m_filter;
};

class FakeEnumMoniker final : public CountedDouble<IEnumMoniker> {
public:
    FakeEnumMoniker() : CountedDouble("enumerator") {}

    STDMETHODIMP Next(ULONG wanted, IMoniker** out, ULONG* fetched) override
    {
        *out = nullptr;
        if (m_next == m_faultAt) RaiseFault(m_fault);
        if (m_next == m_failAt) return E_FAIL;
        if (wanted != 1 || m_next >= m_devices.size()) return S_FALSE;
        FakeMoniker* moniker = m_devices[m_next++].get();
        moniker->AddRef();
        *out = moniker;
        if (fetched) *fetched = 1;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IEnumMoniker**) override { return E_NOTIMPL; }

    FakeMoniker& Add(DeviceScript script)
    {
        m_devices.push_back(std::make_unique<FakeMoniker>("device" + std::to_string(m_devices.size()), script));
        return *m_devices.back();
    }
    // The Next call that fetches device `index` faults or fails instead.
    void FaultAt(size_t index, Fault fault)
    {
        m_faultAt = index;
        m_fault = fault;
    }
    void FailAt(size_t index) { m_failAt = index; }

    void ExpectBalanced() const
    {
        EXPECT_EQ(1, refs());
        EXPECT_FALSE(overReleased());
        for (const auto& device : m_devices) device->ExpectBalanced();
    }

private:
    std::vector<std::unique_ptr<FakeMoniker>> m_devices;
    size_t m_next = 0;
    size_t m_faultAt = SIZE_MAX;
    Fault m_fault = Fault::None;
    size_t m_failAt = SIZE_MAX;
};

class FakeDeviceEnumerator final : public CountedDouble<ICreateDevEnum, &IID_ICreateDevEnum> {
public:
    FakeDeviceEnumerator() : CountedDouble("device enumerator") {}

    STDMETHODIMP CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) override
    {
        m_categories.push_back(category);
        *out = nullptr;
        RaiseFault(fault);
        if (!hasDevices) return S_FALSE;
        devices.AddRef();
        *out = &devices;
        return S_OK;
    }

    FakeEnumMoniker devices;
    bool hasDevices = true;
    Fault fault = Fault::None;
    std::vector<GUID> m_categories;
};

// Registration records as the parser hands them back: a block starting with
// a pointer to the record.
class FakeFilterDataParser final : public CountedDouble<IAMFilterData, &IID_IAMFilterData> {
public:
    FakeFilterDataParser() : CountedDouble("filter data parser") {}

    // The first data byte picks the record: the test's data is an index.
    STDMETHODIMP ParseFilterData(BYTE* data, ULONG size, BYTE** block) override
    {
        parsed.emplace_back(data, data + size);
        if (size == 0 || data[0] >= records.size()) return E_INVALIDARG;
        *block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(REGFILTER2*)));
        *reinterpret_cast<const REGFILTER2**>(*block) = records[data[0]];
        return S_OK;
    }
    STDMETHODIMP CreateFilterData(REGFILTER2*, BYTE**, ULONG*) override { return E_NOTIMPL; }

    std::vector<const REGFILTER2*> records;
    std::vector<std::vector<BYTE>> parsed;
};

// The trace lines of one device: before its Next, after the Next returned
// it, after its property bag was bound (or not), then the property reads.
std::vector<std::string> DeviceLines(bool boundStorage, bool readsDevicePath)
{
    std::vector<std::string> lines = {"--- \r\n", "--- \r\n", "--- \r\n"};
    if (boundStorage) {
        if (readsDevicePath) lines.push_back("DevicePath\r\n");
        lines.push_back("pPropBag->Read\r\n");
    }
    return lines;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::vector<std::string> OPENING_LINES = {"CDShowUtils::GetFilterList \r\n",
                                                "CoCreateInstance(CLSID_SystemDeviceEnum \r\n", "// (2) \r\n"};

std::vector<std::string> Closing(int count)
{
    return {"--- \r\n", "---1 \r\n", "return " + std::to_string(count) + " \r\n"};
}

// VariantInit as Windows documents it: only the type is set, the rest keeps
// what was there before (here a pattern). Wine's zeroes the whole VARIANT.
void WINAPI WindowsVariantInit(VARIANTARG* variant)
{
    memset(variant, 0xA5, sizeof *variant);
    variant->vt = VT_EMPTY;
}

class DeviceEnumerationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_windowsVariantInit.Applied());
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        m_savedTrace = g_bTraceEnabled;
        g_bTraceEnabled = 1;
        m_enumeratorClass = std::make_unique<ClassObject>(CLSID_SystemDeviceEnum, &m_enumerator);
        m_parserClass = std::make_unique<ClassObject>(CLSID_FilterMapper2, static_cast<IAMFilterData*>(&m_parser));
        ASSERT_TRUE(m_enumeratorClass->registered());
        ASSERT_TRUE(m_parserClass->registered());
        ASSERT_TRUE(m_trace.installed());
    }
    void TearDown() override
    {
        m_enumeratorClass.reset();
        m_parserClass.reset();
        g_bTraceEnabled = m_savedTrace;
        CoUninitialize();
    }

    int Enumerate(const GUID& category = CLSID_VideoInputDeviceCategory)
    {
        m_trace.clear();
        return CDShowUtils::GetFilterList(category, &m_list);
    }

    // Enumerates the video input devices and expects the result and trace
    // given, one entry listed and every reference back.
    void ExpectOneListed(int named, const std::vector<std::string>& trace)
    {
        EXPECT_EQ(named, Enumerate());
        EXPECT_EQ(trace, m_trace.lines());
        EXPECT_EQ(1, m_list.m_nCount);
        ExpectAllReleased();
    }

    // Destroys the list and checks that every reference handed out came back.
    void ExpectAllReleased()
    {
        m_list.RemoveAll();
        EXPECT_EQ(1, m_enumerator.refs());
        EXPECT_FALSE(m_enumerator.overReleased());
        EXPECT_EQ(1, m_parser.refs());
        m_enumerator.devices.ExpectBalanced();
    }

    FakeDeviceEnumerator m_enumerator;
    FakeFilterDataParser m_parser;
    std::unique_ptr<ClassObject> m_enumeratorClass;
    std::unique_ptr<ClassObject> m_parserClass;
    DebugOutputCapture m_trace;
    ImportPatch m_windowsVariantInit{"oleaut32.dll", "VariantInit", reinterpret_cast<const void*>(&WindowsVariantInit)};
    CFilterList m_list;
    int m_savedTrace = 1;
};

TEST_F(DeviceEnumerationTest, NullListEnumeratesNothing)
{
    m_trace.clear();
    EXPECT_EQ(0, CDShowUtils::GetFilterList(CLSID_VideoInputDeviceCategory, nullptr));
    EXPECT_EQ((std::vector<std::string>{"CDShowUtils::GetFilterList \r\n", "return 0 \r\n"}), m_trace.lines());
    EXPECT_EQ(0, m_enumeratorClass->created());
}

TEST_F(DeviceEnumerationTest, EmptyCategoryReturnsZeroAndReleasesTheDeviceEnumerator)
{
    m_enumerator.hasDevices = false;
    EXPECT_EQ(0, Enumerate());
    EXPECT_EQ((std::vector<std::string>{"CDShowUtils::GetFilterList \r\n",
                                        "CoCreateInstance(CLSID_SystemDeviceEnum \r\n", "return 0 \r\n"}),
              m_trace.lines());
    EXPECT_EQ(1, m_enumeratorClass->created());
    ASSERT_EQ(1u, m_enumerator.m_categories.size());
    EXPECT_TRUE(IsEqualGUID(CLSID_VideoInputDeviceCategory, m_enumerator.m_categories[0]));
    EXPECT_EQ(0, m_list.m_nCount);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, TwoCamerasAreListedInOrderWithNamesPathsAndIds)
{
    DeviceScript first;
    first.friendlyName = L"Front Camera";
    first.devicePath = L"\\\\?\\usb#vid_3c1a&pid_0101&mi_00#6&1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
    DeviceScript second;
    second.friendlyName = L"Rear Camera";
    second.devicePath = L"\\\\?\\usb#vid_0bda&pid_5520#6&2&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
    FakeMoniker& frontDevice = m_enumerator.devices.Add(first);
    m_enumerator.devices.Add(second);

    EXPECT_EQ(2, Enumerate());
    EXPECT_EQ(Concat({OPENING_LINES, DeviceLines(true, true), DeviceLines(true, true), Closing(2)}), m_trace.lines());

    ASSERT_EQ(2, m_list.m_nCount);
    const CFilterItem* front = m_list.m_ppItems[0];
    const CFilterItem* rear = m_list.m_ppItems[1];
    ASSERT_NE(nullptr, front);
    ASSERT_NE(nullptr, rear);
    EXPECT_STREQ("Front Camera", front->m_pszName);
    EXPECT_STREQ("Rear Camera", rear->m_pszName);
    EXPECT_EQ(0x3C1A, front->m_wVendorId);
    EXPECT_EQ(0x0101, front->m_wProductId);
    EXPECT_EQ(0x0BDA, rear->m_wVendorId);
    EXPECT_EQ(0x5520, rear->m_wProductId);
    EXPECT_STREQ("\\\\?\\usb#vid_0bda&pid_5520#6&2&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}",
                 rear->m_pszDevicePath);
    EXPECT_TRUE(IsEqualGUID(CAMERA_FILTER_CLASS, front->m_guid));
    EXPECT_EQ(FALSE, front->m_bCompressor);
    EXPECT_EQ(1, front->m_nPinCount);

    // The entries hold the filters; everything else was released already.
    EXPECT_EQ(1, m_enumerator.refs());
    EXPECT_EQ(1, m_enumerator.devices.refs());
    EXPECT_EQ(1, frontDevice.refs());
    EXPECT_EQ(1, frontDevice.bag().refs());
    EXPECT_EQ(2, frontDevice.filter().refs());
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, DevicesThatCannotBeListedAreSkippedAndCountedAsWritten)
{
    DeviceScript noStorage;
    noStorage.bindStorageResult = E_FAIL;
    DeviceScript noName;
    noName.friendlyName = nullptr;
    DeviceScript noFilter;
    noFilter.bindObjectResult = E_FAIL;
    DeviceScript noClassId;
    noClassId.classIdFails = true;
    DeviceScript nullClass;
    nullClass.clsid = GUID_NULL;
    DeviceScript dmoWrapper;
    dmoWrapper.clsid = CLSID_DMOWrapperFilter;
    DeviceScript good;
    good.friendlyName = L"Good Camera";
    for (const DeviceScript* script : {&noStorage, &noName, &noFilter, &noClassId, &nullClass, &dmoWrapper, &good})
        m_enumerator.devices.Add(*script);

    // Counted: every device whose friendly name was read.
    EXPECT_EQ(5, Enumerate());
    EXPECT_EQ(Concat({OPENING_LINES, DeviceLines(false, true), DeviceLines(true, true), DeviceLines(true, true),
                      DeviceLines(true, true), DeviceLines(true, true), DeviceLines(true, true),
                      DeviceLines(true, true), Closing(5)}),
              m_trace.lines());
    ASSERT_EQ(1, m_list.m_nCount);
    EXPECT_STREQ("Good Camera", m_list.m_ppItems[0]->m_pszName);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, EmptyFriendlyNameLeavesABareEntry)
{
    DeviceScript unnamed;
    unnamed.friendlyName = L"";
    unnamed.devicePath = L"\\\\?\\usb#vid_3c1a&pid_0101#x";
    m_enumerator.devices.Add(unnamed);

    EXPECT_EQ(1, Enumerate());
    ASSERT_EQ(1, m_list.m_nCount);
    const CFilterItem* item = m_list.m_ppItems[0];
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(nullptr, item->m_pszName);
    EXPECT_EQ(nullptr, item->m_pszDevicePath);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, item->m_guid));
    EXPECT_EQ(0, item->m_wVendorId);
    EXPECT_EQ(0, item->m_wProductId);
    EXPECT_NE(nullptr, item->m_pFilter);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, OtherCategoriesReadNoDevicePath)
{
    DeviceScript codec;
    codec.friendlyName = L"Video Codec";
    codec.devicePath = L"\\\\?\\usb#vid_3c1a&pid_0101#x";
    FakeMoniker& device = m_enumerator.devices.Add(codec);

    EXPECT_EQ(1, Enumerate(CLSID_VideoCompressorCategory));
    EXPECT_EQ(Concat({OPENING_LINES, DeviceLines(true, false), Closing(1)}), m_trace.lines());
    EXPECT_EQ((std::vector<std::wstring>{L"FriendlyName"}), device.bag().reads());
    ASSERT_EQ(1, m_list.m_nCount);
    EXPECT_STREQ("Video Codec", m_list.m_ppItems[0]->m_pszName);
    EXPECT_EQ(nullptr, m_list.m_ppItems[0]->m_pszDevicePath);
    EXPECT_EQ(0, m_list.m_ppItems[0]->m_wVendorId);
    ASSERT_EQ(1u, m_enumerator.m_categories.size());
    EXPECT_TRUE(IsEqualGUID(CLSID_VideoCompressorCategory, m_enumerator.m_categories[0]));
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, AudioInputDevicesReadTheirPathToo)
{
    DeviceScript microphone;
    microphone.devicePath = L"\\\\?\\usb#vid_3c1a&pid_0102&mi_02#x";
    m_enumerator.devices.Add(microphone);
    EXPECT_EQ(1, Enumerate(CLSID_AudioInputDeviceCategory));
    EXPECT_EQ(Concat({OPENING_LINES, DeviceLines(true, true), Closing(1)}), m_trace.lines());
    ASSERT_EQ(1, m_list.m_nCount);
    EXPECT_EQ(0x0102, m_list.m_ppItems[0]->m_wProductId);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, EntriesAlreadyInTheListStayInFront)
{
    FakePin earlierPin("earlier.pin");
    FakeFilter earlier("earlier.filter", {&earlierPin});
    ASSERT_EQ(1, m_list.AddFilter(&earlier, FALSE));
    m_enumerator.devices.Add(DeviceScript());
    m_enumerator.devices.Add(DeviceScript());

    EXPECT_EQ(2, Enumerate());
    ASSERT_EQ(3, m_list.m_nCount);
    EXPECT_EQ(&earlier, m_list.m_ppItems[0]->m_pFilter);
    EXPECT_STREQ("USB Camera", m_list.m_ppItems[2]->m_pszName);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, LongDevicePathIsCutToTheBuffer)
{
    std::wstring path = L"\\\\?\\usb#vid_3c1a&pid_0101#" + std::wstring(600, L'x');
    DeviceScript camera;
    camera.devicePath = path.c_str();
    m_enumerator.devices.Add(camera);

    EXPECT_EQ(1, Enumerate());
    ASSERT_EQ(1, m_list.m_nCount);
    const CFilterItem* item = m_list.m_ppItems[0];
    ASSERT_NE(nullptr, item->m_pszDevicePath);
    EXPECT_EQ(511u, strlen(item->m_pszDevicePath));
    EXPECT_EQ(0x3C1A, item->m_wVendorId);
    EXPECT_EQ(0x0101, item->m_wProductId);
    ExpectAllReleased();
}

TEST_F(DeviceEnumerationTest, FailedNextEndsTheLoopKeepingWhatWasListed)
{
    m_enumerator.devices.Add(DeviceScript());
    m_enumerator.devices.Add(DeviceScript());
    m_enumerator.devices.FailAt(1);
    ExpectOneListed(1, Concat({OPENING_LINES, DeviceLines(true, true), Closing(1)}));
}

// A driver call that throws or faults counts as a failed call; the trace
// names it and the enumeration goes on where the written flow says.
struct GuardedCallCase {
    const char* name;
    Fault fault;
};

class GuardedDriverCallTest : public DeviceEnumerationTest, public ::testing::WithParamInterface<GuardedCallCase> {};

TEST_P(GuardedDriverCallTest, CreateClassEnumeratorEndsTheCall)
{
    m_enumerator.fault = GetParam().fault;
    m_enumerator.devices.Add(DeviceScript());
    EXPECT_EQ(0, Enumerate());
    EXPECT_EQ(
        (std::vector<std::string>{"CDShowUtils::GetFilterList \r\n", "CoCreateInstance(CLSID_SystemDeviceEnum \r\n",
                                  "Except! pSysDevEnum->CreateClassEnumerator \r\n", "return 0 \r\n"}),
        m_trace.lines());
    ExpectAllReleased();
}

TEST_P(GuardedDriverCallTest, NextEndsTheLoop)
{
    m_enumerator.devices.Add(DeviceScript());
    m_enumerator.devices.Add(DeviceScript());
    m_enumerator.devices.FaultAt(1, GetParam().fault);
    ExpectOneListed(1, Concat({OPENING_LINES,
                               DeviceLines(true, true),
                               {"--- \r\n", "Except! pEnumCat->Next\r\n"},
                               {"---1 \r\n", "return 1 \r\n"}}));
}

TEST_P(GuardedDriverCallTest, BindToStorageSkipsOnlyThatDevice)
{
    DeviceScript broken;
    broken.bindStorageFault = GetParam().fault;
    m_enumerator.devices.Add(broken);
    m_enumerator.devices.Add(DeviceScript());
    ExpectOneListed(1, Concat({OPENING_LINES,
                               {"--- \r\n", "--- \r\n", "Except! pMoniker->BindToStorage\r\n", "--- \r\n"},
                               DeviceLines(true, true),
                               Closing(1)}));
}

TEST_P(GuardedDriverCallTest, BindToObjectCountsButDoesNotList)
{
    DeviceScript broken;
    broken.bindObjectFault = GetParam().fault;
    m_enumerator.devices.Add(broken);
    m_enumerator.devices.Add(DeviceScript());
    ExpectOneListed(2, Concat({OPENING_LINES,
                               DeviceLines(true, true),
                               {"Except! pMoniker->BindToObject\r\n"},
                               DeviceLines(true, true),
                               Closing(2)}));
}

TEST_P(GuardedDriverCallTest, PropertyReadIsNotCountedGetClassIdIsCountedNeitherListed)
{
    DeviceScript brokenRead, brokenClassId;
    brokenRead.friendlyNameFault = brokenClassId.classIdFault = GetParam().fault;
    for (const DeviceScript& device : {brokenRead, brokenClassId, DeviceScript()}) m_enumerator.devices.Add(device);
    EXPECT_EQ(2, Enumerate());
    EXPECT_EQ(1, m_list.m_nCount);
    ExpectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Faults, GuardedDriverCallTest,
                         ::testing::Values(GuardedCallCase{"CppException", Fault::CppException},
                                           GuardedCallCase{"AccessViolation", Fault::AccessViolation}),
                         [](const ::testing::TestParamInfo<GuardedCallCase>& info) { return info.param.name; });

// Registration records of wrapped codecs, in both layouts.
class WrappedCodecTest : public DeviceEnumerationTest {
protected:
    void SetUp() override
    {
        DeviceEnumerationTest::SetUp();
        m_types1[0] = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};
        m_types1[1] = {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2};
        m_types2[0] = {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM};

        // Version 1: an input pin first, then an output pin without types,
        // then the output pin that counts.
        m_pins1[0] = {nullptr, FALSE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, &m_types2[0]};
        m_pins1[1] = {nullptr, FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 0, nullptr};
        m_pins1[2] = {nullptr, FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 2, m_types1};
        m_record1.dwVersion = 1;
        m_record1.cPins = 3;
        m_record1.rgPins = m_pins1;

        // Version 2: the output pin is marked by its flag.
        m_pins2[0] = {0, 1, 1, &m_types1[0], 0, nullptr, nullptr};
        m_pins2[1] = {REG_PINFLAG_B_OUTPUT, 1, 1, m_types2, 0, nullptr, nullptr};
        m_record2.dwVersion = 2;
        m_record2.cPins2 = 2;
        m_record2.rgPins2 = m_pins2;

        // No output pin at all.
        m_record3.dwVersion = 2;
        m_record3.cPins2 = 1;
        m_record3.rgPins2 = m_pins2;

        m_parser.records = {&m_record1, &m_record2, &m_record3};
    }

    REGPINTYPES m_types1[2];
    REGPINTYPES m_types2[1];
    REGFILTERPINS m_pins1[3];
    REGFILTERPINS2 m_pins2[2];
    REGFILTER2 m_record1 = {};
    REGFILTER2 m_record2 = {};
    REGFILTER2 m_record3 = {};
};

TEST_F(WrappedCodecTest, CompressorsCarryTheirMarkAndOutputSubtype)
{
    DeviceScript videoCodec;
    videoCodec.clsid = CLSID_AVICo;
    videoCodec.filterData = {0, 0xAA, 0xBB};
    DeviceScript audioCodec;
    audioCodec.clsid = CLSID_ACMWrapper;
    audioCodec.filterData = {1};
    DeviceScript noOutput;
    noOutput.clsid = CLSID_AVICo;
    noOutput.filterData = {2};
    DeviceScript noData;
    noData.clsid = CLSID_ACMWrapper;
    DeviceScript dvEncoder;
    dvEncoder.clsid = CLSID_DVVideoEnc;
    for (const DeviceScript* script : {&videoCodec, &audioCodec, &noOutput, &noData, &dvEncoder})
        m_enumerator.devices.Add(*script);

    EXPECT_EQ(5, Enumerate(CLSID_VideoCompressorCategory));
    ASSERT_EQ(5, m_list.m_nCount);
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB24, m_list.m_ppItems[0]->m_guid));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, m_list.m_ppItems[1]->m_guid));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, m_list.m_ppItems[2]->m_guid));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, m_list.m_ppItems[3]->m_guid));
    EXPECT_TRUE(IsEqualGUID(CLSID_DVVideoEnc, m_list.m_ppItems[4]->m_guid));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(TRUE, m_list.m_ppItems[i]->m_bCompressor) << i;

    // The parser saw each device's bytes whole.
    ASSERT_EQ(3u, m_parser.parsed.size());
    EXPECT_EQ((std::vector<BYTE>{0, 0xAA, 0xBB}), m_parser.parsed[0]);
    ExpectAllReleased();
}

TEST_F(WrappedCodecTest, ReadFilterDataSubtypeChecksItsArguments)
{
    DeviceScript data;
    data.filterData = {1};
    FakePropertyBag bag("bag", data);
    DeviceScript empty;
    FakePropertyBag emptyBag("empty bag", empty);

    GUID subtype = CAMERA_FILTER_CLASS;
    EXPECT_EQ(1, CDShowUtils::ReadFilterDataSubtype(nullptr, &subtype));
    EXPECT_EQ(1, CDShowUtils::ReadFilterDataSubtype(&bag, nullptr));
    EXPECT_TRUE(IsEqualGUID(CAMERA_FILTER_CLASS, subtype));
    EXPECT_TRUE(m_parser.parsed.empty());

    EXPECT_EQ(0, CDShowUtils::ReadFilterDataSubtype(&emptyBag, &subtype));
    EXPECT_TRUE(IsEqualGUID(CAMERA_FILTER_CLASS, subtype));

    EXPECT_EQ(0, CDShowUtils::ReadFilterDataSubtype(&bag, &subtype));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, subtype));
    EXPECT_EQ(1, bag.refs());
    EXPECT_EQ(1, m_parser.refs());

    // A byte vector from any lower bound is filter data; no other VARIANT
    // reaches the parser.
    for (int shape = 0; shape < 4; ++shape) {
        data.filterDataLowerBound = shape == 0 ? 5 : 0;
        data.filterDataType = VT_ARRAY | (shape == 1 ? VT_BYREF | VT_UI1 : shape == 2 ? VT_I4 : VT_UI1);
        data.bTwoDimensions = shape == 3;
        FakePropertyBag shaped("shaped bag", data);
        m_parser.parsed.clear();
        subtype = CAMERA_FILTER_CLASS;
        EXPECT_EQ(0, CDShowUtils::ReadFilterDataSubtype(&shaped, &subtype)) << shape;
        EXPECT_TRUE(IsEqualGUID(shape == 0 ? MEDIASUBTYPE_PCM : CAMERA_FILTER_CLASS, subtype)) << shape;
        EXPECT_EQ(m_parser.parsed, std::vector<std::vector<BYTE>>(shape == 0, data.filterData)) << shape;
    }
}

}  // namespace
