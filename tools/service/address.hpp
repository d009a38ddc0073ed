// The listening address as this process's alone, the same on every platform.
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

}  // namespace Wsr37100::service
