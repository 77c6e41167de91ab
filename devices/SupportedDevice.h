// The check that gates every download: is a supported camera plugged in?
#pragma once

#include <windows.h>

// USB identifiers of one supported camera model.
struct SupportedDevice {
    WORD wVendorId;
    WORD wProductId;
};

constexpr int SUPPORTED_DEVICE_COUNT = 29;

// Fills `table` with the supported models' identifiers, in their fixed order.
void SupportedDeviceTable(SupportedDevice (&table)[SUPPORTED_DEVICE_COUNT]);

// 1 when a video capture device with a supported vendor and product id is
// present, 0 otherwise. Enumerates the devices afresh on every call.
int IsSupportedDeviceConnected();
