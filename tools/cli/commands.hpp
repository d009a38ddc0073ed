// The subcommands of the wsr37100 tool.
#pragma once

#include <string>

namespace Wsr37100::cli {

struct WeighOptions {
    std::string port;
    std::string baud = "9600";
    unsigned gap_ms = 0;
    std::string log_dir;
    bool no_log = false;
    bool json = false;
    bool raw = false;
    bool watch = false;           // follow the scale: a line per change
    unsigned stable_ms = 0;       // wait up to this for a stable weight
    unsigned equal_readings = 0;  // with stable_ms: equal weights needed
    unsigned frame = 0;           // 7 or 8: the frame the scale sends; 0: any
};
int weigh(const WeighOptions& options);

struct SimulateOptions {
    double weight = 1.234;
    int frame = 8;
    std::string status;
    bool silent = false;
    int partial = 0;
    long delay_ms = 0;
    std::string sequence;
    std::string link;
};
int simulate(const SimulateOptions& options);

int ports(bool json);

int demo();

}  // namespace Wsr37100::cli
