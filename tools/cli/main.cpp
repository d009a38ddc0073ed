// wsr37100: weigh from a scale, simulate one, list serial ports, or see a demo.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "commands.hpp"
#include "reading.hpp"

int main(int argc, char** argv) {
    using namespace Wsr37100::cli;
    CLI::App app{"wsr37100: reads the weight from a retail scale on a serial port.\n"
                 "Example: wsr37100 weigh COM1 9600   (on Linux COM1 is /dev/ttyS0)"};
    app.require_subcommand(1);

    WeighOptions weigh_options;
    auto* weigh_command = app.add_subcommand(
        "weigh", "One reading: prints the weight result and what it means.\n"
                 "Exit status: 0 weight, 2 status, 3 no reading, 4 failure, 64 usage.\n"
                 "Example: wsr37100 weigh /dev/ttyUSB0 9600 --gap 20 --raw");
    weigh_command->add_option("PORT", weigh_options.port, "Serial port: COM1, ttyUSB0, /dev/ttyUSB0")->required();
    weigh_command->add_option("BAUD", weigh_options.baud, "Baud rate")->capture_default_str();
    weigh_command->add_option("--gap", weigh_options.gap_ms,
                              "Inter-byte gap in ms: a reply ends after this silence (0: wait for 8 bytes or 1 s)");
    auto* log_dir = weigh_command->add_option("--log-dir", weigh_options.log_dir,
                                              "Folder of the daily log (default: dados beside the program)");
    weigh_command->add_flag("--no-log", weigh_options.no_log, "Write no log")->excludes(log_dir);
    weigh_command->add_flag("--json", weigh_options.json, "One JSON object per reading");
    weigh_command->add_flag("--raw", weigh_options.raw, "Also print the reply's bytes in hex");
    weigh_command->add_option("--watch", weigh_options.watch_seconds, "Weigh every SECONDS until Ctrl-C");

    SimulateOptions simulate_options;
    auto* simulate_command = app.add_subcommand(
        "simulate", "Play a scale on a pseudo-terminal and print its device path; one line on stderr per poll.\n"
                    "Example: wsr37100 simulate --weight 2.5 --frame 7 --link /tmp/scale");
    simulate_command->add_option("--weight", simulate_options.weight, "Weight in kg")->capture_default_str();
    simulate_command->add_option("--frame", simulate_options.frame, "Reply frame: 7 or 8 bytes")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    simulate_command->add_option("--status", simulate_options.status, "Answer a status letter")
        ->check(CLI::IsMember({"I", "N", "S"}));
    simulate_command->add_flag("--silent", simulate_options.silent, "Answer nothing");
    simulate_command->add_option("--partial", simulate_options.partial, "Answer only the first N bytes (1-6)")
        ->check(CLI::Range(1, 6));
    simulate_command->add_option("--delay", simulate_options.delay_ms, "Answer after MS milliseconds");
    simulate_command->add_option("--sequence", simulate_options.sequence,
                                 "Replies in turn, repeated: weights, I, N, S, silent, partial:N, hex:BYTES\n"
                                 "Example: --sequence 1.5,N,silent,partial:3,hex:0230303031323303");
    simulate_command->add_option("--link", simulate_options.link, "Also make a symbolic link to the device here");

    auto* ports_command = app.add_subcommand("ports", "List the serial ports present.\nExample: wsr37100 ports");
    auto* demo_command = app.add_subcommand(
        "demo", "Weigh a simulated scale through the library, with and without the gap, and show the log.\n"
                "Example: wsr37100 demo");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kExitUsage;
    }
    if (*weigh_command) return weigh(weigh_options);
    if (*simulate_command) return simulate(simulate_options);
    if (*ports_command) return ports();
    if (*demo_command) return demo();
    return kExitUsage;
}
