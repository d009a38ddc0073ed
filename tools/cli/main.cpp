// wsr37100: weigh from a scale, simulate one, list serial ports, or see a demo.
#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>
#include <set>
#include <string>

#include "commands.hpp"
#include "common/exit_codes.hpp"
#include "common/folders.hpp"
#include "console.hpp"
#include "service/serve_command.hpp"
#include "wsr37100.h"

namespace {

using namespace Wsr37100::cli;
namespace common = Wsr37100::common;

constexpr const char* kCommands[] = {"weigh", "detect", "simulate", "ports", "demo", "serve"};

std::string version_text() {
    std::string text = "wsr37100 " WSR37100_VERSION_STRING;
    const std::string library = WsrVersao();
    if (library != WSR37100_VERSION_STRING) text += " (library loaded: " + library + ")";
    return text;
}

// The baud text as the module takes it: decimal digits only.
const CLI::Validator kWholeNumber(
    [](const std::string& text) {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
            return "not a whole number (as 9600): " + text;
        }
        return std::string();
    },
    "NUMBER");

// CLI11 only says "not expected"; a mistyped command deserves its name.
bool unknown_command(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    for (const char* command : kCommands) {
        if (std::string(argv[1]) == command) return false;
    }
    std::fprintf(stderr, "wsr37100: unknown command '%s'; the commands are weigh, detect, simulate, ports, demo "
                         "and serve "
                         "(wsr37100 --help)\n", argv[1]);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"wsr37100: reads the weight from a retail scale on a serial port.\n"
                 "Example: wsr37100 weigh COM1 9600   (on Linux COM1 is /dev/ttyS0)",
                 "wsr37100"};
    app.require_subcommand(1);
    app.set_version_flag("--version", version_text(), "Print the tool's version (and the library's, if another) and exit");
    app.footer("Exit status: 0 weight, 2 status, 3 no reading, 4 failure, 64 usage error, 73 the link could not be\n"
               "made, 130 stopped by Ctrl-C, 1 any other error. Results go to stdout, messages to stderr.\n"
               "Every command has --help, with the exit statuses of that command.");

    WeighOptions weigh_options;
    auto* weigh_command = app.add_subcommand(
        "weigh", "One reading: prints the weight on stdout, or on stderr what came instead of one.\n"
                 "Status letters: I unstable (in motion), N negative (below zero), S overload (above capacity).\n"
                 "Example: wsr37100 weigh /dev/ttyUSB0 9600 --gap 20 --raw");
    weigh_command->footer("Exit status: 0 weight, 2 status or unreadable reply (with --stable: never settled), 3 no reading,\n"
                          "4 failure (the log cannot be written), 64 usage error, 130 --watch ended by Ctrl-C, 1 any other\n"
                          "error. Results go to stdout, messages to stderr.");
    weigh_command->add_option("PORT", weigh_options.port, "Serial port: COM1, ttyUSB0, /dev/ttyUSB0; or a serial device server:\n"
                              "tcp://HOST:PORT (raw TCP), rfc2217://HOST:PORT (the module sets the baud rate)")->required();
    weigh_command->add_option("BAUD", weigh_options.baud, "Baud rate")->check(kWholeNumber)->capture_default_str();
    weigh_command->add_option("--gap", weigh_options.gap_ms,
                              "Inter-byte gap in ms: a reply ends after this silence (0: wait for 8 bytes or 1 s)");
    auto* log_dir = weigh_command->add_option("--log-dir", weigh_options.log_dir, common::default_log_help());
    weigh_command->add_flag("--no-log", weigh_options.no_log, "Write no log")->excludes(log_dir);
    weigh_command->add_flag("--json", weigh_options.json, "One JSON object per reading, with its time");
    weigh_command->add_flag("--raw", weigh_options.raw, "Also print the reply's bytes in hex");
    auto* watch = weigh_command->add_flag("--watch", weigh_options.watch,
                            "Follow the scale until Ctrl-C: the port stays open, polls follow one another, and a\n"
                            "line (each starting with its time) is printed whenever the reading changes");
    auto* stable = weigh_command->add_option("--stable", weigh_options.stable_ms,
                              "Wait up to MS for a stable weight (the scale answers I while it is in motion); on\n"
                              "time-out the last answer stands and the exit status is 2")
        ->check(CLI::Range(1u, 3'600'000u))->excludes(watch);
    weigh_command->add_option("--equal", weigh_options.equal_readings,
                              "With --stable: equal consecutive weights needed before one is taken")
        ->check(CLI::Range(1u, 100u))->needs(stable);
    weigh_command->add_option("--frame", weigh_options.frame,
                              "The frame the scale sends, 7 or 8 bytes: a read ends as soon as it is in")
        ->check(CLI::IsMember({7u, 8u}));

    SimulateOptions simulate_options;
    auto* simulate_command = app.add_subcommand(
        "simulate", "Play a scale on a pseudo-terminal and print its device path; one line on stderr per poll.\n"
                    "Runs until Ctrl-C or SIGTERM, then removes its link.\n"
                    "While it runs, each line read from standard input (typed, or from a pipe) changes the answer\n"
                    "from the next poll on: a weight (3.25), I, N, S, silent, or items with commas as --sequence\n"
                    "(I,I,1.5). An unreadable line is reported and changes nothing; the end of input changes nothing.\n"
                    "Example: wsr37100 simulate --weight 2.5 --frame 7 --link /tmp/scale");
    simulate_command->footer("Exit status: 0 stopped by Ctrl-C or SIGTERM, 64 usage error, 73 the link could not be made,\n"
                             "1 any other error. The device path goes to stdout, a line per poll to stderr.");
    auto* weight = simulate_command->add_option("--weight", simulate_options.weight, "Weight in kg")->capture_default_str();
    simulate_command->add_option("--frame", simulate_options.frame, "Reply frame: 7 or 8 bytes")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    auto* status = simulate_command->add_option("--status", simulate_options.status,
                                                "Answer a status letter: I unstable, N negative, S overload")
                       ->check(CLI::IsMember({"I", "N", "S"}));
    auto* silent = simulate_command->add_flag("--silent", simulate_options.silent, "Answer nothing");
    auto* partial = simulate_command->add_option("--partial", simulate_options.partial,
                                                 "Answer only the first N bytes (1-6)")
                        ->check(CLI::Range(1, 6));
    auto* delay = simulate_command->add_option("--delay", simulate_options.delay_ms, "Answer after MS milliseconds");
    auto* sequence = simulate_command->add_option(
        "--sequence", simulate_options.sequence,
        "Replies in turn, repeated: weights, I, N, S, silent, partial:N, hex:BYTES\n"
        "Example: --sequence 1.5,N,silent,partial:3,hex:0230303031323303");
    simulate_command->add_option("--link", simulate_options.link,
                                 "Also make a symbolic link to the device at this new path (never replaces a file)");
    simulate_command->add_option("--line-speed", simulate_options.line_speed,
                                 "The scale's own baud rate: it answers only while the port is set to it, and\n"
                                 "sends what a reply at the wrong rate looks like otherwise (0: any rate)");
    silent->excludes(status, partial, weight, delay, sequence);
    status->excludes(partial, weight, sequence);
    partial->excludes(sequence);

    DetectOptions detect_options;
    auto* detect_command = app.add_subcommand(
        "detect", "Find the scale: poll each port at each baud rate in turn and tell which rate and frame answer,\n"
                  "with the --scale option for serve and the values for BuscaPeso. A rate counts once two polls in a\n"
                  "row give well-formed frames. With no port named only USB serial adapters are tried (--all: every\n"
                  "port listed). A port another program holds is skipped unopened; each port's settings are put back.\n"
                  "Ports are probed at once, one thread each. A progress line goes to a terminal, never to a pipe.\n"
                  "Example: wsr37100 detect /dev/ttyUSB0 --bauds 9600,4800");
    detect_command->footer("Exit status: 0 a scale found (on any port), 3 none found, 64 usage error, 130 stopped by\n"
                           "Ctrl-C, 1 any other error. Results go to stdout, the progress line and warnings to stderr.");
    detect_command->add_option("PORT", detect_options.ports,
                               "Ports to probe: COM3, ttyUSB0, /dev/ttyUSB0, rfc2217://HOST:PORT (raw tcp:// has no\n"
                               "rate to set); none: the USB serial adapters that `ports` lists");
    detect_command->add_option("--bauds", detect_options.bauds, "Rates to try, in this order")->capture_default_str();
    detect_command->add_flag("--json", detect_options.json, "One JSON array, an object per port");
    detect_command->add_flag("--all", detect_options.all,
                                               "With no port named: every port listed, not only USB serial adapters\n"
                                               "(each gets an ENQ, whatever device is on it)");

    bool ports_json = false;
    auto* ports_command = app.add_subcommand(
        "ports", "List the serial ports present: description, driver, USB ids, serial number, and whether you\n"
                 "may open them. Nothing is opened.\nExample: wsr37100 ports --json");
    ports_command->footer("Exit status: 0 listed (none found is no error), 64 usage error, 1 any other error.\n"
                          "The list goes to stdout, hints to stderr.");
    ports_command->add_flag("--json", ports_json, "One JSON array");
    auto* demo_command = app.add_subcommand(
        "demo", "Weigh a simulated scale through the library, with and without the gap, and show the log.\n"
                "Example: wsr37100 demo");
    demo_command->footer("Exit status: 0 shown, 64 usage error, 130 stopped by Ctrl-C, 1 any other error.");

    Wsr37100::service::ServeCommand serve_command(app);

    if (unknown_command(argc, argv)) return common::kExitUsage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : common::kExitUsage;
    }
    // Options are parsed in the C locale (a decimal point); from here on the
    // user's regional settings apply, to the module's log as in any host.
    std::setlocale(LC_ALL, "");
    const Utf8Console console;
    try {
        if (*weigh_command) return weigh(weigh_options);
        if (*detect_command) return detect(detect_options);
        if (*simulate_command) return simulate(simulate_options);
        if (*ports_command) return ports(ports_json);
        if (*demo_command) return demo();
        if (serve_command.chosen()) return serve_command.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wsr37100: %s\n", error.what());
        return 1;
    }
    return common::kExitUsage;
}
