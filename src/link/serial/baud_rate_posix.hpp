// Setting a baud rate that has no Bnnn constant (Linux termios2 with BOTHER).
#pragma once

namespace Wsr37100 {

// Sets input and output speed to the rate; false when the driver refuses it.
bool set_custom_baud_rate(int fd, int rate);

}  // namespace Wsr37100
