// Waits, writes and reads on a descriptor with poll(), against a deadline and an interrupt.
#include "link/descriptor_posix.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "link/interrupt_posix.hpp"

namespace Wsr37100 {

int wait_for(int fd, short events, const Deadline& limit, std::chrono::milliseconds cap, const Interrupt* interrupt) {
    for (;;) {
        pollfd entries[2] = {{fd, events, 0}, {interrupt ? interrupt->native().read_end() : -1, POLLIN, 0}};
        const auto wait = std::min(limit.remaining(), cap);
        const int ready = ::poll(entries, interrupt ? 2 : 1, static_cast<int>(wait.count()));
        if (ready > 0) return entries[1].revents ? -1 : entries[0].revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool write_all(int fd, const unsigned char* bytes, std::size_t size, const Deadline& limit,
               const Interrupt* interrupt) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::write(fd, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const int ready = wait_for(fd, POLLOUT, limit, limit.remaining(), interrupt);
        if (ready <= 0 || (ready & kHangUp)) return false;
    }
    return true;
}

int DescriptorSource::wait(const Deadline& limit, std::chrono::milliseconds cap) const {
    const int ready = wait_for(fd, POLLIN, limit, cap, interrupt);
    if (ready > 0 && !(ready & POLLIN)) return -1;  // hung up with nothing to read
    return ready;
}

std::optional<std::size_t> DescriptorSource::read(unsigned char* into, std::size_t size) const {
    const ssize_t got = ::read(fd, into, size);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return std::nullopt;  // readable but empty (gone), or EIO after a hang-up, among others
}

}  // namespace Wsr37100
