// The interrupt on POSIX: a pipe whose read end polls readable once raised.
#include "link/interrupt_posix.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <system_error>

namespace Wsr37100 {

Interrupt::Native::Native() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
}

Interrupt::Native::~Native() {
    ::close(fds[0]);
    ::close(fds[1]);
}

Interrupt::Interrupt() : native_(std::make_unique<Native>()) {}
Interrupt::~Interrupt() = default;

void Interrupt::raise() {
    const char byte = 1;
    (void)!::write(native_->fds[1], &byte, 1);  // a full pipe is raised already
}

bool Interrupt::raised() const {
    pollfd entry{native_->fds[0], POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

}  // namespace Wsr37100
