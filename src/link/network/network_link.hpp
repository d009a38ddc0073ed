// Scales behind a serial device server: "tcp://HOST:PORT" and "rfc2217://HOST:PORT".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "link/link.hpp"

namespace Wsr37100 {

struct NetworkName {
    enum class Kind { RawTcp, Rfc2217 };
    Kind kind = Kind::RawTcp;
    std::string host;  // without the brackets of an IPv6 literal
    std::string port;  // 1 to 65535, digits
};

// The parts of a network port name, or why it is refused (Portuguese): an
// unknown scheme, a missing or bad host or port.
struct ParsedNetworkName {
    std::optional<NetworkName> name;
    std::string refusal;
};
ParsedNetworkName parse_network_name(std::string_view name);

// Connects (1000 ms at most), then for RFC 2217 sets the server's port to the
// baud rate, 8 data bits, no parity, one stop bit and purges its receive
// buffer, waiting for each acknowledgement. Throws Falha when the baud text
// is not a whole number (after connecting; the connection is closed again).
OpenResult open_network_link(std::string_view name, std::string_view baud_text, LinkOptions options,
                             const Interrupt* interrupt = nullptr);

}  // namespace Wsr37100
