// The serial ports present, as the system describes them (nothing is opened or probed).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Wsr37100::cli {

struct PortInfo {
    std::string device;               // what to pass as PORT: /dev/ttyUSB0, COM3
    std::vector<std::string> aliases;  // other names of it: COM1, /dev/serial/by-id/...
    std::string description;          // "FT232R USB UART", "Porta de comunicação (COM1)"
    std::string driver;               // ftdi_sio, serial8250, FTDIBUS, Serial
    std::string vendor_id;            // USB vendor id, 4 hex digits ("0403"); "" when not USB
    std::string product_id;           // USB product id ("6001")
    std::string serial_number;        // the USB device's serial number, when it has one
    std::optional<bool> may_open;     // whether the current user may open it; unknown on Windows
    std::string group;                // when not: the group to join (dialout)
};

// The ports in name order. On Linux from sysfs and /dev: the environment
// variable WSR37100_SYSTEM_ROOT, when set, is a folder taken as / (a copy of
// sys/ and dev/ for tests).
std::vector<PortInfo> list_ports();

}  // namespace Wsr37100::cli
