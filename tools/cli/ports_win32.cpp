// The COM ports on Windows, from the SetupAPI (Ports class) and the SERIALCOMM map; none is opened.
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>

#include <algorithm>
#include <map>
#include <string>

#include "ports.hpp"

namespace Wsr37100::cli {

namespace {

std::string device_property(HDEVINFO devices, SP_DEVINFO_DATA& info, DWORD property) {
    char text[512];
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(devices, &info, property, &type, reinterpret_cast<BYTE*>(text),
                                             sizeof text - 1, nullptr)) {
        return {};
    }
    text[sizeof text - 1] = '\0';
    return text;  // a REG_MULTI_SZ gives its first string
}

std::string port_name(HDEVINFO devices, SP_DEVINFO_DATA& info) {
    HKEY key = ::SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool read = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                          ERROR_SUCCESS && type == REG_SZ;
    ::RegCloseKey(key);
    return read ? std::string(name) : std::string();
}

// "USB\VID_0403&PID_6001\A12345": ids from the hardware id, the serial number
// from the instance id's last part (Windows makes one up, with '&', when the
// device has none).
void usb_details(HDEVINFO devices, SP_DEVINFO_DATA& info, PortInfo& port) {
    const std::string hardware = device_property(devices, info, SPDRP_HARDWAREID);
    const auto vid = hardware.find("VID_");
    const auto pid = hardware.find("PID_");
    if (vid == std::string::npos || pid == std::string::npos) return;
    port.vendor_id = hardware.substr(vid + 4, 4);
    port.product_id = hardware.substr(pid + 4, 4);
    char instance[512];
    if (::SetupDiGetDeviceInstanceIdA(devices, &info, instance, sizeof instance, nullptr)) {
        const std::string id = instance;
        const std::string last = id.substr(id.find_last_of('\\') + 1);
        if (last.find('&') == std::string::npos) port.serial_number = last;
    }
}

// Name order as people count: COM2 before COM10.
bool before(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

}  // namespace

std::vector<PortInfo> list_ports() {
    std::map<std::string, PortInfo> found;
    HDEVINFO devices = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &info); ++index) {
            PortInfo port;
            port.device = port_name(devices, info);
            if (port.device.rfind("COM", 0) != 0) continue;  // printer ports share the class
            port.description = device_property(devices, info, SPDRP_FRIENDLYNAME);
            port.driver = device_property(devices, info, SPDRP_SERVICE);
            usb_details(devices, info, port);
            found.emplace(port.device, std::move(port));
        }
        ::SetupDiDestroyDeviceInfoList(devices);
    }
    // Ports a driver registered without a device node of the Ports class.
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            char device[256];
            char name[256];
            DWORD device_size = sizeof device;
            DWORD name_size = sizeof name - 1;
            DWORD type = 0;
            const LSTATUS read = ::RegEnumValueA(key, index, device, &device_size, nullptr, &type,
                                                 reinterpret_cast<BYTE*>(name), &name_size);
            if (read == ERROR_MORE_DATA) continue;  // a value too long to be a port's name: the next one
            if (read != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            name[name_size] = '\0';
            PortInfo port;
            port.device = name;
            port.aliases.push_back(device);
            found.emplace(port.device, std::move(port));
        }
        ::RegCloseKey(key);
    }
    std::vector<PortInfo> ports;
    for (auto& [name, port] : found) ports.push_back(std::move(port));
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) { return before(a.device, b.device); });
    return ports;
}

}  // namespace Wsr37100::cli
