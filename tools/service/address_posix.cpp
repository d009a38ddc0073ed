// SO_REUSEADDR: a restarted service listens again at once; no second listener can share the port.
#include "address.hpp"

#include <sys/socket.h>

namespace Wsr37100::service {

bool claim_address(std::uintptr_t native_socket) {
    const int on = 1;
    return ::setsockopt(static_cast<int>(native_socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace Wsr37100::service
