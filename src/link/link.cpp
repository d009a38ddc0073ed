// Chooses the link a port name names: a serial port, raw TCP or RFC 2217.
#include "link/link.hpp"

#include "link/network/network_link.hpp"
#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

OpenResult open_link(std::string_view device_name, std::string_view baud_text, LinkOptions options,
                     const Interrupt* interrupt) {
    if (device_name.find("://") == std::string_view::npos) return SerialPort::open(device_name, baud_text, std::move(options));
    return open_network_link(device_name, baud_text, std::move(options), interrupt);
}

}  // namespace Wsr37100
