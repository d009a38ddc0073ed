// Reading a tty's output baud rate, standard or not.
#pragma once

namespace Wsr37100 {
unsigned baud_rate_of(int fd);
}
