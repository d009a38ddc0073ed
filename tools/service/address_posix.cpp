// SO_REUSEADDR: a restarted service listens again at once; no second listener can share the port.
#include "address.hpp"

#include <sys/resource.h>
#include <sys/socket.h>

namespace Wsr37100::service {

bool claim_address(std::uintptr_t native_socket) {
    const int on = 1;
    return ::setsockopt(static_cast<int>(native_socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

std::optional<std::size_t> descriptor_shortfall(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) {
        return std::nullopt;
    }
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted) {
        limit.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return std::nullopt;
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace Wsr37100::service
