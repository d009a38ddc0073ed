// Who the process runs as, for messages about files it may not read.
#pragma once

#include <string>

namespace Wsr37100::service {

// The user's name and number, as "wsr37100-serve (uid 61934)"; the number alone
// when the name is unknown.
std::string process_user();

}  // namespace Wsr37100::service
