// The service's host on POSIX: the console's interrupts (Ctrl-C, SIGTERM from systemd).
#include "host.hpp"

#include <malloc.h>

#include "common/interrupts.hpp"

namespace Wsr37100::service {

namespace {
// Blocks of this size or more come from the system and go back to it once
// freed. A connection's buffers are of that size, and the network keeps a
// small record of each socket it had for reuse: in one heap, a burst of
// connections would leave those records spread over the pages of its freed
// buffers, which could then never go back (about 1 MB after 256 event streams;
// 0.6 MB with this, and no more after the next burst).
constexpr int kOwnMappingFrom = 4096;
}  // namespace

int run_in_console(const Body& body) {
    ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
    // Before any thread starts, so that every thread inherits the blocked signals.
    const common::Interrupts interrupts;
    return body([&interrupts](std::chrono::milliseconds duration) { return interrupts.sleep_for(duration); }, Journal());
}

void give_back_memory() { ::malloc_trim(0); }

bool windows_services_supported() { return false; }

int run_as_windows_service(const std::string&, const Body& body) { return run_in_console(body); }

}  // namespace Wsr37100::service
