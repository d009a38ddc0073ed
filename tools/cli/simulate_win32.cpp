// `simulate` and `demo` need a pseudo-terminal: on Windows they point to the Linux tool.
#include <cstdio>

#include "commands.hpp"
#include "common/exit_codes.hpp"

namespace Wsr37100::cli {

int simulate(const SimulateOptions&) {
    std::fprintf(stderr, "wsr37100 simulate runs on Linux (it plays the scale on a pseudo-terminal);\n"
                         "map its device to a COM port with Wine, or use a null-modem cable pair.\n");
    return common::kExitUsage;
}

int demo() { return simulate({}); }

}  // namespace Wsr37100::cli
