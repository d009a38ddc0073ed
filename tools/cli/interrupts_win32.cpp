// Ctrl-C ends the tool's loops cleanly.
#include <windows.h>

#include "commands.hpp"

namespace Wsr37100::cli {

namespace {
BOOL WINAPI on_control(DWORD) {
    interrupted = true;
    return TRUE;
}
}  // namespace

void catch_interrupts() { ::SetConsoleCtrlHandler(on_control, TRUE); }

}  // namespace Wsr37100::cli
