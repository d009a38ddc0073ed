// The operating system's reason for a failure, as short Portuguese 8-bit text.
#pragma once

#include <string>

namespace Wsr37100 {

// errno on POSIX, GetLastError() on Windows.
std::string system_reason(unsigned long code);

}  // namespace Wsr37100
