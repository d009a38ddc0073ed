// SO_EXCLUSIVEADDRUSE: no other program can bind the service's port beside it. No descriptor limit; WSAPoll.
#include "address.hpp"

#include <winsock2.h>

namespace Wsr37100::service {

bool claim_address(std::uintptr_t native_socket) {
    const BOOL on = TRUE;
    return ::setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// Windows has no per-process limit of sockets to raise.
std::optional<std::size_t> descriptor_shortfall(std::size_t) { return std::nullopt; }
std::optional<std::size_t> descriptors_left() { return std::nullopt; }

bool send_buffer_full(std::uintptr_t native_socket) {
    WSAPOLLFD entry{static_cast<SOCKET>(native_socket), POLLWRNORM, 0};
    return ::WSAPoll(&entry, 1, 0) == 0;
}

}  // namespace Wsr37100::service
