// Connecting to a serial device server: the look-up, one address after the
// other, and the failure told from the last attempt, over the platform's calls.
#include "link/network/socket.hpp"

#include "link/network/socket_os.hpp"

namespace Wsr37100 {

std::unique_ptr<Socket> Socket::connect(const std::string& host, const std::string& port,
                                        std::chrono::milliseconds within, const std::string& shown,
                                        PortUnavailable& failure, const Interrupt* interrupt) {
    const Deadline limit(within);
    const auto found = look_up(host, port, limit, interrupt);
    if (!found) {
        failure = lookup_timed_out(shown);
        return nullptr;
    }
    if (!found->addresses) {
        failure = host_not_found(shown, found->error);
        return nullptr;
    }
    int last_error = connect_timed_out();
    for (std::size_t index = 0; index < address_count(*found->addresses); ++index) {
        ConnectAttempt attempt = connect_to(*found->addresses, index, limit, interrupt);
        if (attempt.connected) return std::move(attempt.connected);
        last_error = attempt.error;
        if (attempt.gave_up) break;
    }
    failure = connect_failure(shown, last_error);
    return nullptr;
}

}  // namespace Wsr37100
