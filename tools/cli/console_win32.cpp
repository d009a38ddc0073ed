// Windows consoles: output code page UTF-8 while the tool runs, so "não" shows as written.
#include <windows.h>

#include "console.hpp"

namespace Wsr37100::cli {

Utf8Console::Utf8Console() : previous_(::GetConsoleOutputCP()) {
    if (previous_ != 0) ::SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) ::SetConsoleOutputCP(previous_);
}

bool stderr_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace Wsr37100::cli
