// What runs the service and tells it to stop: a console (Ctrl-C, SIGTERM) or the Windows service control manager.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "journal.hpp"

namespace Wsr37100::service {

// Sleeps up to the time given; false (at once) when the service must stop.
// The body calls it only once it serves, so its first call also tells the
// host that the service runs.
using KeepRunning = std::function<bool(std::chrono::milliseconds)>;
// journal: where the body's messages go (under the service control manager
// also the Windows Event Log, the host's event source).
using Body = std::function<int(const KeepRunning& keep_running, const Journal& journal)>;

// Until Ctrl-C or SIGTERM (on Windows Ctrl-C, Ctrl-Break or closing the console).
int run_in_console(const Body& body);

// Gives the heap's free memory back to the system: a burst of connections
// (hundreds of event streams, a flood) leaves its buffers there once they close.
void give_back_memory();

// True where the program can run as a Windows service.
bool windows_services_supported();

// Under the service control manager, as the service `name` (the name it was
// installed under); returns when the manager stops it, with the body's exit
// status. The body's messages also go to the Windows Event Log, from the
// event source `name`. Only where windows_services_supported().
int run_as_windows_service(const std::string& name, const Body& body);

}  // namespace Wsr37100::service
