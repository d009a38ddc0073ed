// wsr37100: weigh from a scale, simulate one, list serial ports, or see a demo.
#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "commands.hpp"
#include "common/exit_codes.hpp"
#include "console.hpp"
#include "service/serve_command.hpp"
#include "wsr37100.h"

namespace {

using namespace Wsr37100::cli;
namespace common = Wsr37100::common;

constexpr const char* kCommands[] = {"weigh", "detect", "simulate", "ports", "demo", "serve", "browser-policy"};

std::string version_text() {
    std::string text = "wsr37100 " WSR37100_VERSION_STRING;
    const std::string library = WsrVersao();
    if (library != WSR37100_VERSION_STRING) text += " (library loaded: " + library + ")";
    return text;
}

// CLI11 only says "not expected"; a mistyped command deserves its name.
bool unknown_command(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    for (const char* command : kCommands) {
        if (std::string(argv[1]) == command) return false;
    }
    std::fprintf(stderr, "wsr37100: unknown command '%s'; the commands are weigh, detect, simulate, ports, demo, "
                         "serve and browser-policy (wsr37100 --help)\n", argv[1]);
    return true;
}

}  // namespace

namespace Wsr37100::cli {

Command::Command(CLI::App& app, const std::string& name, const std::string& description, const std::string& footer)
    : command_(app.add_subcommand(name, description)) {
    command_->footer(footer);
}

bool Command::chosen() const { return command_->parsed(); }

}  // namespace Wsr37100::cli

int main(int argc, char** argv) {
    CLI::App app{"wsr37100: reads the weight from a retail scale on a serial port.\n"
                 "Example: wsr37100 weigh COM1 9600   (on Linux COM1 is /dev/ttyS0)",
                 "wsr37100"};
    app.require_subcommand(1);
    app.set_version_flag("--version", version_text(), "Print the tool's version (and the library's, if another) and exit");
    app.footer("Exit status: 0 weight, 2 status, 3 no reading, 4 failure, 64 usage error, 73 the link could not be\n"
               "made, 130 stopped by Ctrl-C, 1 any other error. Results go to stdout, messages to stderr.\n"
               "Every command has --help, with the exit statuses of that command.");

    const WeighCommand weigh_command(app);
    const SimulateCommand simulate_command(app);
    const DetectCommand detect_command(app);
    const PortsCommand ports_command(app);
    const DemoCommand demo_command(app);
    Wsr37100::service::ServeCommand serve_command(app);
    const BrowserPolicyCommand browser_policy_command(app);
    const Command* const commands[] = {&weigh_command,  &simulate_command, &detect_command,
                                       &ports_command,  &demo_command,     &browser_policy_command};

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
        for (const Command* command : commands) {
            if (command->chosen()) return command->run();
        }
        if (serve_command.chosen()) return serve_command.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wsr37100: %s\n", error.what());
        return 1;
    }
    return common::kExitUsage;
}
