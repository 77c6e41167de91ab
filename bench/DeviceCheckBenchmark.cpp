// How long the supported-camera check takes against the system's device
// enumerator as more cameras are plugged in. Prints a table; not a test.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devices/SupportedDevice.h"
#include "tests/support/SimulatedCamera.h"

namespace {

constexpr int CALLS_PER_COUNT = 21;

double MedianMilliseconds(int expected)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int call = 0; call < CALLS_PER_COUNT; ++call) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        int found = IsSupportedDeviceConnected();
        QueryPerformanceCounter(&end);
        if (found != expected) {
            fprintf(stderr, "unexpected result %d\n", found);
            exit(1);
        }
        times.push_back(1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string CameraKey(int index)
{
    char key[32];
    snprintf(key, sizeof(key), "bench-camera-%03d", index);
    return key;
}

}  // namespace

int main()
{
    if (FAILED(CoInitialize(nullptr))) return 1;
    SupportedDevice table[SUPPORTED_DEVICE_COUNT];
    SupportedDeviceTable(table);

    // Cameras of another maker, so that every check walks the whole list,
    // and one supported camera plugged in last, behind all of them.
    std::vector<std::unique_ptr<SimulatedCamera>> cameras;
    printf("%-8s %-22s %-22s\n", "cameras", "median ms (none found)", "median ms (found last)");
    double first = 0;
    for (int count : {0, 1, 10, 50}) {
        while (static_cast<int>(cameras.size()) < count) {
            int index = static_cast<int>(cameras.size());
            cameras.push_back(std::make_unique<SimulatedCamera>(
                CameraKey(index), "Other Camera " + std::to_string(index),
                SimulatedCamera::UsbDevicePath(0x0BDA, static_cast<WORD>(0x5000 + index))));
        }
        double none = MedianMilliseconds(0);
        double found = 0;
        {
            SimulatedCamera supported("bench-camera-zzz", "USB Camera",
                                      SimulatedCamera::UsbDevicePath(table[28].wVendorId, table[28].wProductId));
            found = MedianMilliseconds(1);
        }
        if (count == 0) first = none;
        printf("%-8d %-22.2f %-22.2f\n", count, none, found);
        if (count == 50 && first > 0)
            printf("growth: %.3f ms per camera; 50 cameras take %.1fx the empty check\n", (none - first) / 50,
                   none / first);
    }
    cameras.clear();
    CoUninitialize();
    return 0;
}
