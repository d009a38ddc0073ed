// The interrupt's descriptor, for the POSIX waits that watch it.
#pragma once

#include "link/interrupt.hpp"

namespace Wsr37100 {

struct Interrupt::Native {
    Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native();
    int read_end() const { return fds[0]; }
    int fds[2] = {-1, -1};
};

}  // namespace Wsr37100
