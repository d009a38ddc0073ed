// Waiting on a descriptor (a serial port or a socket) against a deadline and an interrupt.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>

#include "link/deadline.hpp"
#include "link/interrupt.hpp"

namespace Wsr37100 {

inline constexpr short kHangUp = POLLHUP | POLLERR | POLLNVAL;

// Waits for the events within the time; returns the revents, 0 on time-out,
// -1 on a poll failure or a raised interrupt. EINTR is retried against the
// same limit.
int wait_for(int fd, short events, const Deadline& limit, std::chrono::milliseconds cap, const Interrupt* interrupt);

// Writes all bytes within the limit; false on a failure, a hang-up, the
// limit, or the interrupt.
bool write_all(int fd, const unsigned char* bytes, std::size_t size, const Deadline& limit,
               const Interrupt* interrupt);

// A descriptor as the read loop's source (see read_reply_bytes). Reading
// nothing from a readable descriptor is the end: an unplugged adapter, or the
// peer that closed the connection.
struct DescriptorSource {
    int fd;
    const Interrupt* interrupt;
    int wait(const Deadline& limit, std::chrono::milliseconds cap) const;
    std::optional<std::size_t> read(unsigned char* into, std::size_t size) const;
};

}  // namespace Wsr37100
