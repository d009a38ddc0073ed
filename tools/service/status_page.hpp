// The status page at /: every scale with its live weight, self-contained so that it works offline.
#pragma once

#include <string_view>

namespace Wsr37100::service {

std::string_view status_page();

}  // namespace Wsr37100::service
