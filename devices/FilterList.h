// The device list: DirectShow capture filters with their pins, names, paths
// and USB ids, and the string helpers that fill it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include "devices/DevicePathIds.h"

// Length in bytes of the longest start of `text` that is at most `maxBytes`
// long and does not split a double-byte character of the ANSI code page.
size_t CharacterBoundaryLength(const char* text, size_t maxBytes);

// Frees *slot and stores a heap copy of text there (null for null text or when
// memory runs out). Returns the new *slot.
char* ReplaceString(char** slot, const char* text);

// One pin of a filter. Takes over the caller's reference to the pin.
class CPinItem {
public:
    CPinItem(IPin* pin, BOOL ownsPin);
    virtual ~CPinItem();
    CPinItem(const CPinItem&) = delete;
    CPinItem& operator=(const CPinItem&) = delete;

    void ReleasePin();

    IPin* m_pPin;
    BOOL m_bOwnsPin;
    char* m_pszName;
};

// Longest device path kept, in bytes; longer paths are cut to this length
// or less, at a character boundary.
constexpr size_t MAX_DEVICE_PATH = 511;

// One filter with its pins, name and device identity. Takes over the caller's
// reference to the filter.
class CFilterItem {
public:
    CFilterItem(IBaseFilter* filter, BOOL ownsFilter);
    virtual ~CFilterItem();
    CFilterItem(const CFilterItem&) = delete;
    CFilterItem& operator=(const CFilterItem&) = delete;

    int EnumeratePins();
    void ClearPins();
    void SetName(const char* name);
    void SetDevicePath(const char* path);
    void SetGuid(GUID guid);
    void ReleaseFilter();

    IBaseFilter* m_pFilter;
    int m_nPinCount;
    CPinItem** m_ppPins;
    char* m_pszName;
    char* m_pszDevicePath;
    WORD m_wVendorId;
    WORD m_wProductId;
    GUID m_guid;
    BOOL m_bOwnsFilter;
    BOOL m_bCompressor;
};

// A growable list of filters.
class CFilterList {
public:
    CFilterList();
    virtual ~CFilterList();
    CFilterList(const CFilterList&) = delete;
    CFilterList& operator=(const CFilterList&) = delete;

    // Appends a filter; returns the new count, or -1 when nothing was added.
    int AddFilter(IBaseFilter* filter, BOOL ownsFilter);
    void RemoveAll();

    int m_nCount;
    CFilterItem** m_ppItems;
};
