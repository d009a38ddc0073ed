// The simulator's replies, built from its command-line options.
#pragma once

#include <vector>

#include "commands.hpp"
#include "scale_emulator.hpp"

namespace Wsr37100::cli {

// Throws std::invalid_argument with a message for the user on a bad option.
std::vector<ScaleReply> build_script(const SimulateOptions& options);

}  // namespace Wsr37100::cli
