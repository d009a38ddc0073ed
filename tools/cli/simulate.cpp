// `wsr37100 simulate` and `wsr37100 demo`, the commands that play a scale: their
// options, the same everywhere; the playing is each platform's (simulate_*.cpp, demo_posix.cpp).
#include <CLI/CLI.hpp>

#include "commands.hpp"

namespace Wsr37100::cli {

SimulateCommand::SimulateCommand(CLI::App& app)
    : Command(app, "simulate",
              "Play a scale on a pseudo-terminal and print its device path; a line on stderr per change or error.\n"
              "Runs until Ctrl-C or SIGTERM, then removes its link. With --background it returns once the\n"
              "link answers and prints the process id of the scale playing on (stop it with kill).\n"
              "While it runs, each line read from standard input (typed, or from a pipe) changes the answer\n"
              "from the next poll on: a weight (3.25), I, N, S, silent, or items with commas as --sequence\n"
              "(I,I,1.5). An unreadable line is reported and changes nothing; the end of input changes nothing.\n"
              "Example: wsr37100 simulate --weight 2.5 --frame 7 --link /tmp/scale\n"
              "In a script: pid=$(wsr37100 simulate --weight 2.5 --link /tmp/scale --background)",
              "Exit status: 0 stopped by Ctrl-C or SIGTERM (with --background: the scale answers), 64 usage\n"
              "error, 73 the link could not be made, 1 any other error. The device path (with --background,\n"
              "the process id) goes to stdout, changes and errors to stderr.") {
    auto* weight = command().add_option("--weight", options_.weight, "Weight in kg")->capture_default_str();
    command().add_option("--frame", options_.frame, "Reply frame: 7 or 8 bytes")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    auto* status = command().add_option("--status", options_.status,
        "Answer a status letter: I unstable, N negative, S overload")
        ->check(CLI::IsMember({"I", "N", "S"}));
    auto* silent = command().add_flag("--silent", options_.silent, "Answer nothing");
    auto* partial = command().add_option("--partial", options_.partial,
        "Answer only the first N bytes (1-6)")
        ->check(CLI::Range(1, 6));
    auto* delay = command().add_option("--delay", options_.delay_ms, "Answer after MS milliseconds");
    auto* sequence = command().add_option(
        "--sequence", options_.sequence,
        "Replies in turn, repeated: weights, I, N, S, silent, partial:N, hex:BYTES\n"
        "Example: --sequence 1.5,N,silent,partial:3,hex:0230303031323303");
    auto* link = command().add_option("--link", options_.link,
        "Also make a symbolic link to the device at this new path (never replaces a file)");
    auto* background = command().add_flag("--background", options_.background,
        "Return once the scale answers at --link, printing the process id that plays it on");
    command().add_flag("--verbose", options_.verbose, "A line on stderr for every poll (by default only changes and errors)");
    command().add_option("--line-speed", options_.line_speed,
        "The scale's own baud rate: it answers only while the port is set to it, and\n"
        "sends what a reply at the wrong rate looks like otherwise (0: any rate)");
    silent->excludes(status, partial, weight, delay, sequence);
    status->excludes(partial, weight, sequence);
    partial->excludes(sequence);
    background->needs(link);
}

DemoCommand::DemoCommand(CLI::App& app)
    : Command(app, "demo",
              "Weigh a simulated scale through the library, with and without the gap, and show the log.\n"
              "Example: wsr37100 demo",
              "Exit status: 0 shown, 64 usage error, 130 stopped by Ctrl-C, 1 any other error.") {}

}  // namespace Wsr37100::cli
