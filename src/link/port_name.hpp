// The grammar of a port name: "COM1" or "/dev/ttyUSB0" (a local serial port),
// "SCHEME://HOST:PORT" (a serial device server), an IPv6 host in brackets.
// Pure text: the library opens by it, and the service compares two names by it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Wsr37100 {

// Whether the name has a scheme ("SCHEME://..."): a name without one is a local serial port.
bool has_scheme(std::string_view name);

// The scheme before "://", in lower case (a name's scheme matches in any case);
// empty for a name without one.
std::string scheme_of(std::string_view name);

// A network name's parts.
struct NetworkName {
    std::string scheme;  // lower case: "tcp", "rfc2217"
    std::string host;    // without the brackets of an IPv6 literal
    std::string port;    // 1 to 65535, digits
};

// The host and port after the "://" as written, the brackets of an IPv6 host
// taken off, unchecked: the last colon ends the host, or the one right after
// "]" when the host is in brackets. Nullopt when there is no such colon.
std::optional<NetworkName> split_network_name(std::string_view name);

// Whether the last colon of a name with a scheme is the one before its port
// ("tcp://host:4001", "tcp://[::1]:4001"), not one after it
// ("tcp://host:4001:9600"). A name whose host and port cannot be told apart
// counts as ending with its port.
bool ends_with_network_port(std::string_view name);

// The parts of a network name, or why it is refused (Portuguese): a missing
// or bad host or port. Whether the scheme is one the library opens is the
// link table's to say.
struct ParsedNetworkName {
    std::optional<NetworkName> name;
    std::string refusal;
};
ParsedNetworkName parse_network_name(std::string_view name);

}  // namespace Wsr37100
