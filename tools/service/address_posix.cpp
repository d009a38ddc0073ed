// SO_REUSEADDR: a restarted service listens again at once; no second listener can share the port. RLIMIT_NOFILE, poll.
#include "address.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>

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

namespace {

// The descriptors open now: the entries of /proc/self/fd (or /dev/fd), less the one
// that lists them; where neither lists them, each number below `most` is asked.
std::size_t descriptors_open(std::size_t most) {
    for (const char* folder : {"/proc/self/fd", "/dev/fd"}) {
        DIR* listing = ::opendir(folder);
        if (listing == nullptr) continue;
        std::size_t count = 0;
        while (const dirent* entry = ::readdir(listing)) count += entry->d_name[0] != '.';
        ::closedir(listing);
        return count > 0 ? count - 1 : 0;
    }
    std::size_t count = 0;
    for (std::size_t fd = 0; fd < most; ++fd) count += ::fcntl(static_cast<int>(fd), F_GETFD) != -1;
    return count;
}

}  // namespace

std::optional<std::size_t> descriptors_left() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t open = descriptors_open(std::min<std::size_t>(soft, 1u << 16));
    return soft > open ? soft - open : 0;
}

bool send_buffer_full(std::uintptr_t native_socket) {
    pollfd entry{static_cast<int>(native_socket), POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 0;
}

}  // namespace Wsr37100::service
