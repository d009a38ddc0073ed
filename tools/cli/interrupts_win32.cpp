// Ctrl-C ends the tool's loops cleanly.
#include <windows.h>

#include <chrono>
#include <thread>

#include "commands.hpp"

namespace Wsr37100::cli {

std::atomic<bool> interrupted{false};

namespace {
BOOL WINAPI on_control(DWORD) {
    interrupted = true;
    return TRUE;
}
}  // namespace

void catch_interrupts() { ::SetConsoleCtrlHandler(on_control, TRUE); }

bool sleep_unless_interrupted(long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!interrupted && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !interrupted;
}

}  // namespace Wsr37100::cli
