#include "FilterList.h"

#include "devices/GuardedCall.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool IsSystemLeadByte(unsigned char byte)
{
    return ::IsDBCSLeadByte(byte) != FALSE;
}

// A heap copy of the first `length` bytes of text, terminated; null when
// memory runs out.
char* CopyOfStart(const char* text, size_t length)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// Grows a heap array of pointers by one slot; false, with the array as it
// was, when memory runs out.
template <class Item>
bool GrowByOneSlot(Item*** items, int count)
{
    Item** grown = static_cast<Item**>(realloc(*items, sizeof(Item*) * (count + 1)));
    if (!grown) return false;
    *items = grown;
    return true;
}

// Destroys every object in a heap array of pointers and frees the array.
template <class Item>
void DestroyAll(Item*** items, int* count)
{
    for (int i = 0; i < *count; ++i) delete (*items)[i];
    free(*items);
    *items = nullptr;
    *count = 0;
}

}  // namespace

size_t CharacterBoundaryLength(const char* text, size_t maxBytes)
{
    return CharacterBoundaryLength(text, maxBytes, IsSystemLeadByte);
}

char* ReplaceString(char** slot, const char* text)
{
    free(*slot);
    *slot = text ? CopyOfStart(text, strlen(text)) : nullptr;
    return *slot;
}

CPinItem::CPinItem(IPin* pin, BOOL ownsPin) : m_pPin(pin), m_bOwnsPin(ownsPin), m_pszName(nullptr) {}

CPinItem::~CPinItem()
{
    ReplaceString(&m_pszName, nullptr);
    if (m_bOwnsPin) ReleasePin();
}

void CPinItem::ReleasePin()
{
    ReleaseDeviceObject(m_pPin);
    m_pPin = nullptr;
}

CFilterItem::CFilterItem(IBaseFilter* filter, BOOL ownsFilter)
    : m_pFilter(filter),
      m_nPinCount(0),
      m_ppPins(nullptr),
      m_pszName(nullptr),
      m_pszDevicePath(nullptr),
      m_wVendorId(0),
      m_wProductId(0),
      m_guid(GUID_NULL),
      m_bOwnsFilter(ownsFilter),
      m_bCompressor(FALSE)
{
    EnumeratePins();
}

CFilterItem::~CFilterItem()
{
    SetName(nullptr);
    SetDevicePath(nullptr);
    // Pins hold on to their filter, so they go first.
    ClearPins();
    if (m_bOwnsFilter) ReleaseFilter();
}

int CFilterItem::EnumeratePins()
{
    if (!m_pFilter) return 0;
    ClearPins();

    // The filter and its pins are the device's code: every call goes through
    // the guard, and a call that faults ends the enumeration with the pins
    // gathered so far. What a faulting call was to write is not used.
    IEnumPins* pins = nullptr;
    HRESULT hr = E_FAIL;
    if (!CallDevice([&] { hr = m_pFilter->EnumPins(&pins); }) || FAILED(hr) || !pins) {
        m_nPinCount = 0;
        return 0;
    }

    int count = 0;
    for (;;) {
        IPin* pin = nullptr;
        hr = S_FALSE;
        if (!CallDevice([&] { hr = pins->Next(1, &pin, nullptr); }) || hr != S_OK) break;
        if (!GrowByOneSlot(&m_ppPins, count)) {
            // Keep the pins gathered so far; drop only the one that has no slot.
            ReleaseDeviceObject(pin);
            break;
        }
        CPinItem* item = new (std::nothrow) CPinItem(pin, TRUE);
        if (!item) ReleaseDeviceObject(pin);
        m_ppPins[count++] = item;
    }
    ReleaseDeviceObject(pins);

    m_nPinCount = count;
    return count;
}

void CFilterItem::ClearPins()
{
    DestroyAll(&m_ppPins, &m_nPinCount);
}

void CFilterItem::SetName(const char* name)
{
    ReplaceString(&m_pszName, name);
}

void CFilterItem::SetDevicePath(const char* path)
{
    ReplaceString(&m_pszDevicePath, nullptr);
    if (!path) return;
    m_pszDevicePath = CopyOfStart(path, CharacterBoundaryLength(path, MAX_DEVICE_PATH));
    ReadIdAfter(path, "vid_", IsSystemLeadByte, &m_wVendorId);
    ReadIdAfter(path, "pid_", IsSystemLeadByte, &m_wProductId);
}

void CFilterItem::SetGuid(GUID guid)
{
    m_guid = guid;
}

void CFilterItem::ReleaseFilter()
{
    ReleaseDeviceObject(m_pFilter);
    m_pFilter = nullptr;
}

CFilterList::CFilterList() : m_nCount(0), m_ppItems(nullptr) {}

CFilterList::~CFilterList()
{
    RemoveAll();
}

int CFilterList::AddFilter(IBaseFilter* filter, BOOL ownsFilter)
{
    if (!filter || !GrowByOneSlot(&m_ppItems, m_nCount)) return -1;
    ++m_nCount;
    CFilterItem* item = new (std::nothrow) CFilterItem(filter, ownsFilter);
    if (!item && ownsFilter) ReleaseDeviceObject(filter);
    m_ppItems[m_nCount - 1] = item;
    return m_nCount;
}

void CFilterList::RemoveAll()
{
    DestroyAll(&m_ppItems, &m_nCount);
}
