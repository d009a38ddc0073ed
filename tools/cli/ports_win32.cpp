// `wsr37100 ports` on Windows: the COM ports the system lists under SERIALCOMM.
#include <windows.h>

#include <cstdio>

#include "commands.hpp"

namespace Wsr37100::cli {

int ports() {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::printf("no serial ports found\n");
        return 0;
    }
    int count = 0;
    for (DWORD index = 0;; ++index) {
        char device[256];
        char port[256];
        DWORD device_size = sizeof device;
        DWORD port_size = sizeof port;
        DWORD type = 0;
        if (::RegEnumValueA(key, index, device, &device_size, nullptr, &type, reinterpret_cast<BYTE*>(port),
                            &port_size) != ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) continue;
        port[port_size < sizeof port ? port_size : sizeof port - 1] = '\0';
        std::printf("%s  (%s)\n", port, device);
        ++count;
    }
    ::RegCloseKey(key);
    if (count == 0) std::printf("no serial ports found\n");
    return 0;
}

}  // namespace Wsr37100::cli
