// The listening address as this process's alone, and the descriptors and send buffers its connections take, the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace Wsr37100::service {

// Sets the socket option that keeps the listening address to this process:
// SO_EXCLUSIVEADDRUSE on Windows, whose SO_REUSEADDR would let another
// program bind the same port and take some of its connections; SO_REUSEADDR
// on POSIX, where it only lets a restart listen again past connections still
// in TIME_WAIT. False when the option is refused.
bool claim_address(std::uintptr_t native_socket);

// Makes room for `wanted` open descriptors (raising the soft limit up to the
// hard one where needed). Returns how many the process may open when that is
// fewer; nullopt when there is room, or no such limit (Windows).
std::optional<std::size_t> descriptor_shortfall(std::size_t wanted);

// How many more descriptors the process may open: its soft limit less those it
// has open now. nullopt where there is no such limit (Windows), or none is set.
std::optional<std::size_t> descriptors_left();

// True when a connected socket's send buffer has no room: what is written to it
// waits until its peer takes some.
bool send_buffer_full(std::uintptr_t native_socket);

}  // namespace Wsr37100::service
