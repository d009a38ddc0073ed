// The subcommands of the wsr37100 tool.
#pragma once

#include <string>
#include <vector>

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
    unsigned line_speed = 0;  // answer only at this rate; garbage at any other
};
int simulate(const SimulateOptions& options);

int ports(bool json);

struct DetectOptions {
    std::vector<std::string> ports;  // none: the serial adapters `ports` lists
    std::string bauds = "2400,4800,9600,19200";
    bool json = false;
    bool all = false;  // with no port named: every port listed, not only serial adapters
};
int detect(const DetectOptions& options);

int demo();

}  // namespace Wsr37100::cli
