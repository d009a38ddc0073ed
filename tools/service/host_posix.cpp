// The service's host on POSIX: the console's interrupts (Ctrl-C, SIGTERM from systemd).
#include "host.hpp"

#include <malloc.h>

#include "common/interrupts.hpp"

namespace Wsr37100::service {

int run_in_console(const Body& body) {
    // Before any thread starts, so that every thread inherits the blocked signals.
    const common::Interrupts interrupts;
    return body([&interrupts](std::chrono::milliseconds duration) { return interrupts.sleep_for(duration); }, Journal());
}

void give_back_memory() { ::malloc_trim(0); }

bool windows_services_supported() { return false; }

int run_as_windows_service(const std::string&, const Body& body) { return run_in_console(body); }

}  // namespace Wsr37100::service
