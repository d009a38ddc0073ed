// Interrupts on Windows: a console control handler notes the first Ctrl-C, Ctrl-Break or close.
#include <windows.h>

#include <atomic>
#include <thread>

#include "common/interrupts.hpp"

namespace Wsr37100::common {

namespace {

// A console control handler is given no context of its own, so the count of
// interrupts lives here; only an Interrupts object installs the handler.
std::atomic<int> interrupts_seen{0};

constexpr std::chrono::milliseconds kTick{20};
// Closing the console, logging off or shutting down ends the process as soon as
// the handler returns: it waits this long for the program to stop in order.
constexpr std::chrono::milliseconds kEndingGrace{4000};

BOOL WINAPI on_control(DWORD event) {
    // FALSE for the second: the system's handler ends the process.
    if (interrupts_seen.fetch_add(1) != 0) return FALSE;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The handler runs on a thread of its own; the program notices the interrupt
        // and ends in order (its destructors stop the scales) before this returns.
        std::this_thread::sleep_for(kEndingGrace);
    }
    return TRUE;
}

}  // namespace

struct Interrupts::State {};

Interrupts::Interrupts() : state_(std::make_unique<State>()) {
    interrupts_seen = 0;
    ::SetConsoleCtrlHandler(on_control, TRUE);
}

Interrupts::~Interrupts() { ::SetConsoleCtrlHandler(on_control, FALSE); }

bool Interrupts::requested() const { return interrupts_seen > 0; }

bool Interrupts::sleep_for(std::chrono::milliseconds duration) const {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!requested() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(kTick);
    return !requested();
}

}  // namespace Wsr37100::common
