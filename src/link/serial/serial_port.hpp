// The serial connection to the scale: open and configure, poll with ENQ, close.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/link.hpp"

namespace Wsr37100 {

// One open, configured serial port.
class SerialPort final : public Link {
public:
    // Checks that the name is a serial line, opens it exclusively, sets the
    // baud rate, 8 data bits, no parity, one stop bit, no software flow control
    // and the time-outs (every other setting stays as the device had it) and
    // discards whatever was waiting in its input queue. Returns the port, or
    // no port and the reason when any step fails (no such port, no
    // permission, busy, settings refused, not a serial line). Throws Falha when
    // the rate is a text that is not a whole number; that is checked after the port
    // opened, and the port is closed again before the exception leaves.
    static OpenResult open(std::string_view device_name, BaudRate rate, LinkOptions options = {});

    ~SerialPort() override;

    std::optional<std::size_t> poll(ReceiveBuffer& buffer, const Interrupt* interrupt = nullptr) override;
    using Link::drain;
    bool drain(std::chrono::milliseconds limit, const Interrupt* interrupt) override;
    bool set_read_timeout(std::chrono::milliseconds wait) override;

    struct Native;

private:
    explicit SerialPort(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// Device naming, from the port name as the host gave it.
// Windows: "\\.\" + name, so that COM10 and above open too ("\\.\NAME" is taken
// as NAME). NAME must be a device's plain name: letters, digits and '_'. Any
// other name (a path, a drive, a network path, "\\?\", "UNC", "GLOBALROOT",
// "Global") gives an empty text: such names are refused.
std::string windows_device_path(std::string_view device_name);
// POSIX: "COMn" (any case) is /dev/ttyS(n-1), "/..." is used as given, any
// other name is taken under /dev/.
std::string posix_device_path(std::string_view device_name);

}  // namespace Wsr37100
