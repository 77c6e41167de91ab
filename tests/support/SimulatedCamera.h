#pragma once
// Plugs simulated USB cameras in and out of the system's device enumerator:
// a video input device is a registry key with its friendly name, device path
// and the class of the filter that stands for it.
#include <windows.h>

#include <string>

class SimulatedCamera {
public:
    // Plugs in a camera; `key` names its registry entry (no backslash).
    SimulatedCamera(const std::string& key, const std::string& friendlyName, const std::string& devicePath);
    // Unplugs it.
    ~SimulatedCamera();
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    bool plugged() const { return m_plugged; }

    // A device path as a USB camera driver reports it.
    static std::string UsbDevicePath(WORD vendorId, WORD productId);

    static bool Plug(const std::string& key, const std::string& friendlyName, const std::string& devicePath);
    static void Unplug(const std::string& key);
    // Unplugs every simulated camera, whoever plugged it: a test that needs
    // a system without cameras starts with this, so that a camera left by
    // an interrupted run cannot change its outcome.
    static void UnplugAll();

private:
    std::string m_key;
    bool m_plugged;
};
