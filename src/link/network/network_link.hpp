// Scales behind a serial device server: raw TCP and RFC 2217.
#pragma once

#include <string_view>

#include "link/link.hpp"
#include "link/port_name.hpp"

namespace Wsr37100 {

// Both connect (1000 ms at most) to the parsed name's host and port; `shown` is
// the name as the host gave it, for the messages. Both throw Falha when the
// rate is a text that is not a whole number (after connecting; the connection
// is closed again).

// Raw TCP: the rate is the server's own; it only paces the drain.
OpenResult open_raw_tcp_link(const NetworkName& name, std::string_view shown, BaudRate rate, LinkOptions options,
                             const Interrupt* interrupt = nullptr);

// Telnet with the COM port option: sets the server's port to the baud rate,
// 8 data bits, no parity, one stop bit and purges its receive buffer, waiting
// for each acknowledgement.
OpenResult open_rfc2217_link(const NetworkName& name, std::string_view shown, BaudRate rate, LinkOptions options,
                             const Interrupt* interrupt = nullptr);

}  // namespace Wsr37100
