// Ctrl-C and SIGTERM end the tool's loops cleanly (the simulator removes its link).
#include <signal.h>

#include <chrono>
#include <thread>

#include "commands.hpp"

namespace Wsr37100::cli {

std::atomic<bool> interrupted{false};

namespace {
void on_signal(int) { interrupted = true; }
}  // namespace

void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool sleep_unless_interrupted(long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!interrupted && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !interrupted;
}

}  // namespace Wsr37100::cli
