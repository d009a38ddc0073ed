// Reads the real output speed with termios2: <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "line_speed.hpp"

namespace Wsr37100 {

unsigned baud_rate_of(int fd) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return 0;
    return settings.c_ospeed;
}

}  // namespace Wsr37100
