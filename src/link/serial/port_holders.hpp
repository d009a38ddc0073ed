// Who else holds a serial port open, where the system tells.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace Wsr37100 {

// A process other than this one that holds the character device open, or
// nothing. Only processes whose descriptors this one may read are seen (all of
// them for root). The program at the other end of a pseudo-terminal (the one
// holding its master) plays the device rather than using it, and is not counted.
std::optional<pid_t> process_holding(dev_t device);

// Whether that process holds the character device open (as its user, not as
// the program at a pseudo-terminal's master side), or nothing when its
// descriptors may not be looked at or it is gone.
std::optional<bool> process_holds(pid_t process, dev_t device);

// When a running process started, on the wall clock, or nothing when the
// system does not tell (the process is gone, or may not be looked at).
std::optional<std::chrono::system_clock::time_point> process_start(pid_t process);

}  // namespace Wsr37100
