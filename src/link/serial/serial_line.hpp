// Which devices the module may open as a scale's port, decided before opening.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Wsr37100 {

// Why the device a stat() described must not be opened as a serial line
// (Portuguese 8-bit text), or nullopt when it may. Only character devices of
// the tty subsystem and pseudo-terminal slaves qualify; never /dev/tty, the
// console, /dev/ptmx, a virtual console, or the process's own controlling
// terminal. Opening nothing, so nothing is armed or changed by asking.
std::optional<std::string> refusal_of(mode_t mode, dev_t device);

}  // namespace Wsr37100
