// Why a port did not open, in the module's Portuguese words, the same on every
// platform: the platform's code only tells which problem and which system code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/link.hpp"

namespace Wsr37100 {

// The system refused the device; a Busy problem is told as such, any other
// with the system's reason for the code.
OpenResult port_unavailable(std::string_view path, PortProblem problem, unsigned long system_error);
// Another opener holds the port; the reason says who.
OpenResult port_busy(std::string_view path, const std::string& reason);
// The name is no port this module opens.
OpenResult port_name_refused(std::string_view path, const std::string& reason);
// The device refused the rate.
OpenResult port_settings_refused(std::string_view path, std::int32_t rate, unsigned long system_error);

}  // namespace Wsr37100
