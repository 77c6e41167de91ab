// Plugs a simulated camera into the system's device enumerator, or unplugs
// it, for the demo run:
//   camera_switch plug <key> <friendly name> <vendor id> <product id>
//   camera_switch unplug <key>
// The ids are hexadecimal.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/SimulatedCamera.h"

int main(int argc, char** argv)
{
    if (argc == 6 && strcmp(argv[1], "plug") == 0) {
        WORD vendorId = static_cast<WORD>(strtoul(argv[4], nullptr, 16));
        WORD productId = static_cast<WORD>(strtoul(argv[5], nullptr, 16));
        return SimulatedCamera::Plug(argv[2], argv[3], SimulatedCamera::UsbDevicePath(vendorId, productId)) ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "unplug") == 0) {
        SimulatedCamera::Unplug(argv[2]);
        return 0;
    }
    fprintf(stderr, "usage: camera_switch plug <key> <name> <vendor id> <product id> | unplug <key>\n");
    return 2;
}
