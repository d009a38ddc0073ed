// The only file that includes <asm/termbits.h>: it clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "link/serial/baud_rate_posix.hpp"

namespace Wsr37100 {

bool set_custom_baud_rate(int fd, int rate) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    settings.c_cflag |= BOTHER;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
    settings.c_cflag |= BOTHER << IBSHIFT;
    settings.c_ispeed = static_cast<speed_t>(rate);
    settings.c_ospeed = static_cast<speed_t>(rate);
    return ::ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace Wsr37100
