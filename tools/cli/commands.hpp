// The subcommands of the wsr37100 tool: each registers itself and its options
// on the tool's application, as `serve` does through ServeCommand.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Wsr37100::cli {

// One subcommand: its constructor adds it to the application; after the
// parse, run() carries it out when the command line chose it.
class Command {
public:
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    virtual ~Command() = default;

    // True when the parsed command line chose this command.
    bool chosen() const;
    // The exit status.
    virtual int run() const = 0;

protected:
    Command(CLI::App& app, const std::string& name, const std::string& description, const std::string& footer);
    CLI::App& command() const { return *command_; }

private:
    CLI::App* command_;
};

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

class WeighCommand final : public Command {
public:
    explicit WeighCommand(CLI::App& app);
    int run() const override { return weigh(options_); }

private:
    WeighOptions options_;
};

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
    bool verbose = false;     // a line on stderr for every poll, not only for changes and errors
    bool background = false;  // return once the link answers, the scale playing on in a process of its own
};
int simulate(const SimulateOptions& options);

class SimulateCommand final : public Command {
public:
    explicit SimulateCommand(CLI::App& app);
    int run() const override { return simulate(options_); }

private:
    SimulateOptions options_;
};

int ports(bool json);

class PortsCommand final : public Command {
public:
    explicit PortsCommand(CLI::App& app);
    int run() const override { return ports(json_); }

private:
    bool json_ = false;
};

struct DetectOptions {
    std::vector<std::string> ports;  // none: the serial adapters `ports` lists
    std::string bauds = "2400,4800,9600,19200";
    bool json = false;
    bool all = false;  // with no port named: every port listed, not only serial adapters
};
int detect(const DetectOptions& options);

class DetectCommand final : public Command {
public:
    explicit DetectCommand(CLI::App& app);
    int run() const override { return detect(options_); }

private:
    DetectOptions options_;
};

int demo();

class DemoCommand final : public Command {
public:
    explicit DemoCommand(CLI::App& app);
    int run() const override { return demo(); }
};

// Prints, installs (--install) or removes (--remove) the browsers' managed policy that allows the
// origins' pages to reach this computer (browser_policy.cpp).
class BrowserPolicyCommand final : public Command {
public:
    explicit BrowserPolicyCommand(CLI::App& app);
    int run() const override;

private:
    std::vector<std::string> origins_;
    std::vector<std::string> framed_by_;  // portals whose pages frame the point of sale's
    std::vector<std::string> folders_;  // --policy-dir: these rather than the browsers' own
    bool install_ = false;
    bool remove_ = false;
};

}  // namespace Wsr37100::cli
