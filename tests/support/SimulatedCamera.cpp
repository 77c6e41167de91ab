#include "tests/support/SimulatedCamera.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Instances of the video input device category.
const char CATEGORY_INSTANCES[] = "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance";
// The filter that stands for a simulated camera: the Null Renderer, which
// every system has and which binds without hardware.
const char CAMERA_FILTER_CLASS[] = "{C1F400A4-3F08-11D3-9F0B-006008039E37}";

std::string InstanceKeyPath(const std::string& key)
{
    return std::string(CATEGORY_INSTANCES) + "\\" + key;
}

bool SetString(HKEY key, const char* name, const std::string& value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

}  // namespace

SimulatedCamera::SimulatedCamera(const std::string& key, const std::string& friendlyName, const std::string& devicePath)
    : m_key(key), m_plugged(Plug(key, friendlyName, devicePath))
{
}

SimulatedCamera::~SimulatedCamera()
{
    Unplug(m_key);
}

std::string SimulatedCamera::UsbDevicePath(WORD vendorId, WORD productId)
{
    char path[160];
    snprintf(path, sizeof(path),
             "\\\\?\\usb#vid_%04x&pid_%04x&mi_00#6&2c3f1a7b&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
             vendorId, productId);
    return path;
}

bool SimulatedCamera::Plug(const std::string& key, const std::string& friendlyName, const std::string& devicePath)
{
    HKEY device = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, InstanceKeyPath(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &device,
                        nullptr) != ERROR_SUCCESS)
        return false;
    bool written = SetString(device, "FriendlyName", friendlyName) && SetString(device, "CLSID", CAMERA_FILTER_CLASS);
    if (written && !devicePath.empty()) written = SetString(device, "DevicePath", devicePath);
    RegCloseKey(device);
    if (!written) Unplug(key);
    return written;
}

void SimulatedCamera::Unplug(const std::string& key)
{
    RegDeleteKeyA(HKEY_CLASSES_ROOT, InstanceKeyPath(key).c_str());
}

void SimulatedCamera::UnplugAll()
{
    HKEY instances = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, CATEGORY_INSTANCES, 0, KEY_READ, &instances) != ERROR_SUCCESS) return;
    std::vector<std::string> simulated;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(instances, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char filterClass[64] = {};
        DWORD size = sizeof filterClass - 1;
        if (RegGetValueA(instances, name, "CLSID", RRF_RT_REG_SZ, nullptr, filterClass, &size) == ERROR_SUCCESS &&
            _stricmp(filterClass, CAMERA_FILTER_CLASS) == 0)
            simulated.push_back(name);
    }
    RegCloseKey(instances);
    for (const std::string& key : simulated) Unplug(key);
}
