// A name as the module's messages show it: between double quotes.
#pragma once

#include <string>
#include <string_view>

namespace Wsr37100 {

inline std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace Wsr37100
