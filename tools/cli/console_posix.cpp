// POSIX terminals: the tool writes UTF-8 and the terminal's own settings decide.
#include "console.hpp"

namespace Wsr37100::cli {

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

}  // namespace Wsr37100::cli
