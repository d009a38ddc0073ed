// A TCP connection to a serial device server, one file per platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "link/deadline.hpp"
#include "link/interrupt.hpp"
#include "link/link.hpp"

namespace Wsr37100 {

inline constexpr std::chrono::milliseconds kConnectTimeout{1000};

class Socket {
public:
    // Connects to the first address of host:port that answers within the
    // time, with Nagle's delay off (a poll is one byte). Returns the socket,
    // or none with the reason in `failure` (host not found, refused, no answer).
    // `shown` is the name the messages give ("10.0.0.5:4001"). The name's look-up
    // and the connection share the time; the interrupt ends either wait at once.
    static std::unique_ptr<Socket> connect(const std::string& host, const std::string& port,
                                           std::chrono::milliseconds within, const std::string& shown,
                                           PortUnavailable& failure, const Interrupt* interrupt = nullptr);
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    // All bytes within the limit; false on a failure, a closed connection,
    // the limit or the interrupt.
    bool send(const unsigned char* bytes, std::size_t size, const Deadline& limit, const Interrupt* interrupt);
    // >0 readable, 0 at the time-out, <0 failed or interrupted.
    int wait(const Deadline& limit, std::chrono::milliseconds cap, const Interrupt* interrupt);
    // Bytes received (0: none yet); nullopt when the peer closed or the connection failed.
    std::optional<std::size_t> receive(unsigned char* into, std::size_t size);

    // What the platform holds; only its file makes one.
    struct Native;
    explicit Socket(std::unique_ptr<Native> native);

private:
    std::unique_ptr<Native> native_;
};

// The Portuguese texts of the network's failures.
PortUnavailable host_not_found(const std::string& shown, unsigned long error);
PortUnavailable lookup_timed_out(const std::string& shown);

// How a connect failed, whatever the platform's code for it.
enum class ConnectError { TimedOut, Refused, Other };
// The platform's code of a failed connect (errno, WSAGetLastError()), as one of those.
ConnectError connect_error_of(int error);
// Why no address of `shown` took the connection; `error` is the platform's code.
PortUnavailable connect_failure(const std::string& shown, int error);

}  // namespace Wsr37100
