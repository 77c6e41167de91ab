// Enumeration of the DirectShow filters registered under a device category.
#pragma once

#include <windows.h>
#include <dshow.h>

#include "devices/FilterList.h"

// Parses the "FilterData" registration bytes of a filter. The toolchain's
// headers do not declare it; the layout is the system's.
MIDL_INTERFACE("97f7c4d4-547b-4a5f-8332-536430ad2e4d")
IAMFilterData : public IUnknown
{
public:
    virtual HRESULT STDMETHODCALLTYPE ParseFilterData(BYTE * rgbFilterData, ULONG cb, BYTE * *prgbRegFilter2) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFilterData(REGFILTER2 * prf2, BYTE * *prgbFilterData, ULONG * pcb) = 0;
};
extern const IID IID_IAMFilterData;

class CDShowUtils {
public:
    // Appends an entry for every usable filter of `category` to `list`.
    // Returns the number of devices whose friendly name was read, counted
    // before the filter is bound: a device whose filter is then refused
    // counts without an entry, so readers check each index against
    // m_nCount as well. 0 for a null list or an empty category.
    static int GetFilterList(const GUID& category, CFilterList* list);

    // Takes the media subtype of the first output pin's first media type
    // from the device's "FilterData" into *subtype; *subtype is left alone
    // when there is none. Returns 1 when an argument is null, else 0.
    static int ReadFilterDataSubtype(IPropertyBag* pPropBag, GUID* subtype);
};
