// The simulator's replies, built from its command-line options.
#pragma once

#include <string>
#include <vector>

#include "commands.hpp"
#include "scale_emulator.hpp"

namespace Wsr37100::cli {

// Throws std::invalid_argument with a message for the user on a bad option.
std::vector<ScaleReply> build_script(const SimulateOptions& options);

// The replies for one line typed while the simulator runs: the items of
// --sequence (a weight, I, N, S, silent, ... or several with commas), with the
// options' frame, delay and weight. Surrounding blanks do not count. Throws
// std::invalid_argument as build_script.
std::vector<ScaleReply> script_for_line(const std::string& line, const SimulateOptions& options);

}  // namespace Wsr37100::cli
