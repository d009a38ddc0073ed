// POSIX terminals: the tool writes UTF-8 and the terminal's own settings decide.
#include <unistd.h>

#include "console.hpp"

namespace Wsr37100::cli {

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace Wsr37100::cli
