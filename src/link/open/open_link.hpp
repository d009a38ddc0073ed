// Opening the link a port name names, whichever transport carries it: one
// table of schemes above the serial port and the network links.
#pragma once

#include <string_view>

#include "link/interrupt.hpp"
#include "link/link.hpp"

namespace Wsr37100 {

// Opens the link a port name names: "tcp://HOST:PORT" (raw TCP through a
// serial device server), "rfc2217://HOST:PORT" (Telnet with the COM port
// option: the baud rate and 8N1 are set on the server's port), and any other
// name a local serial port. A name with another scheme, or a network name
// without a good host and port, is refused; nothing is connected. Throws Falha
// when the rate is a text that is not a whole number (after the link opened;
// it is closed again before the exception leaves). An interrupt ends a network
// link's connect and negotiation at once (a monitor's stop).
OpenResult open_link(std::string_view device_name, BaudRate rate, LinkOptions options = {},
                     const Interrupt* interrupt = nullptr);

// False when the name is one whose link has no rate to set (raw TCP: the rate
// is the server's own); true for any other, a name the open would refuse too.
bool link_sets_rate(std::string_view device_name);

}  // namespace Wsr37100
