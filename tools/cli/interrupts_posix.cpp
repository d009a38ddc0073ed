// Ctrl-C and SIGTERM end the tool's loops cleanly (the simulator removes its link).
#include <signal.h>

#include "commands.hpp"

namespace Wsr37100::cli {

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

}  // namespace Wsr37100::cli
