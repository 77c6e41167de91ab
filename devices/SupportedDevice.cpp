#include "devices/SupportedDevice.h"

#include <dshow.h>

#include "devices/DShowUtils.h"
#include "devices/FilterList.h"

void SupportedDeviceTable(SupportedDevice (&table)[SUPPORTED_DEVICE_COUNT])
{
    static const SupportedDevice SUPPORTED_MODELS[SUPPORTED_DEVICE_COUNT] = {
        {0x3C1A, 0x0101}, {0x3C1A, 0x0102}, {0x3C1A, 0x0103}, {0x3C1A, 0x0110}, {0x3C1A, 0x0111}, {0x3C1A, 0x0112},
        {0x3C1A, 0x0120}, {0x3C1A, 0x0121}, {0x3C1A, 0x0130}, {0x3C1A, 0x0131}, {0x3C1A, 0x0132}, {0x3C1A, 0x0140},
        {0x3C1A, 0x0141}, {0x3C1A, 0x0150}, {0x3C1A, 0x0151}, {0x3C1A, 0x0160}, {0x3C1A, 0x0161}, {0x3C1A, 0x0162},
        {0x3C1A, 0x0170}, {0x3C1A, 0x0171}, {0x3C1A, 0x0180}, {0x3C1A, 0x0181}, {0x3C1B, 0x2001}, {0x3C1B, 0x2002},
        {0x3C1B, 0x2003}, {0x3C1B, 0x2010}, {0x3C1B, 0x2011}, {0x3C1B, 0x2020}, {0x3C1B, 0x2021},
    };
    for (int i = 0; i < SUPPORTED_DEVICE_COUNT; ++i) table[i] = SUPPORTED_MODELS[i];
}

int IsSupportedDeviceConnected()
{
    SupportedDevice table[SUPPORTED_DEVICE_COUNT];
    SupportedDeviceTable(table);

    CFilterList list;
    const int namedDevices = CDShowUtils::GetFilterList(CLSID_VideoInputDeviceCategory, &list);

    // The enumeration counts devices it could not list, so every index is
    // checked against the list as well.
    int found = 0;
    for (int i = 0; !found && i < namedDevices; ++i) {
        if (i >= list.m_nCount || !list.m_ppItems || !list.m_ppItems[i]) continue;
        const CFilterItem& item = *list.m_ppItems[i];
        for (const SupportedDevice& model : table) {
            if (item.m_wVendorId == model.wVendorId && item.m_wProductId == model.wProductId) {
                found = 1;
                break;
            }
        }
    }
    return found;
}
