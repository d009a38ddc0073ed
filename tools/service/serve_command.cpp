// `wsr37100 serve`: options and configuration file into settings, then the server until a stop.
#include "service/serve_command.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "address.hpp"
#include "common/exit_codes.hpp"
#include "common/folders.hpp"
#include "config.hpp"
#include "host.hpp"
#include "journal.hpp"
#include "server.hpp"

namespace Wsr37100::service {

namespace {
constexpr auto kStopCheck = std::chrono::milliseconds(100);
}  // namespace

struct ServeCommand::Options {
    CLI::App* command = nullptr;
    std::vector<std::string> scales;
    std::string config;
    std::string listen;
    int port = -1;
    std::vector<std::string> origins;
    std::vector<std::string> hosts;
    std::string token_file;
    bool no_token_on_network = false;
    std::size_t max_connections = 0;
    int max_streams = -1;
    std::string windows_service;
    bool check = false;
};

ServeCommand::ServeCommand(CLI::App& app) : options_(std::make_unique<Options>()) {
    Options& o = *options_;
    o.command = app.add_subcommand(
        "serve", "Serve the scales over HTTP on this computer: a JSON API, live Server-Sent Events and a status page.\n"
                 "Each scale is held by one monitor; every request for it is answered from that monitor.\n"
                 "Runs until Ctrl-C or SIGTERM.\n"
                 "Example: wsr37100 serve --scale counter=/dev/ttyUSB0:9600,gap=20   (then open http://127.0.0.1:8370/)");
    o.command->footer("Exit status: 0 after a stop, 64 usage or configuration error, 1 cannot listen or can no longer\n"
                      "answer. Answers go to HTTP clients; the address served to stdout, messages to stderr.");
    o.command->add_option("--scale", o.scales,
                          "A scale: NAME=PORT[:BAUD][,baud=N][,gap=MS][,frame=7|8][,log-dir=DIR][,no-log] (repeatable).\n"
                          "Default baud 9600, gap 20 ms; the log as weigh's. PORT may be tcp://HOST:PORT or\n"
                          "rfc2217://HOST:PORT, with an IPv6 HOST in brackets");
    o.command->add_option("--config", o.config, "JSON configuration file (see the sample serve.json); options override it");
    o.command->add_option("--listen", o.listen,
                          "Address to listen on (default 127.0.0.1: this computer only; ::1 too). The shop's own\n"
                          "address (as 192.168.1.20) or 0.0.0.0 serves the tablets on its network, and then asks for\n"
                          "--token-file, or --no-token-on-network");
    o.command->add_option("--port", o.port, "TCP port (default 8370; 0: any free port, printed on stdout)")
        ->check(CLI::Range(0, 65535));
    o.command->add_option("--allow-origin", o.origins,
                          "Answer cross-origin requests from this origin, exactly as the browser sends it (scheme, host, port), "
                          "as https://pos.example:8443 (repeatable; or several, separated by commas). A page served from "
                          "the internet also needs the browser's Local Network Access: see the web point of sale guide, "
                          "web-pos.md, and wsr37100 browser-policy")
        ->delimiter(',');
    o.command->add_option("--allow-host", o.hosts,
                          "Also answer requests for this host name, as a tablet names this computer (repeatable).\n"
                          "Only a loopback address checks the name (against DNS rebinding); on any other address\n"
                          "every name is answered");
    o.command->add_option("--token-file", o.token_file, "Ask for this bearer token (the file's first line) on /v1 and /metrics");
    o.command->add_flag("--no-token-on-network", o.no_token_on_network,
                        "Listen beyond loopback without a token: anyone on the network may then read the scales\n"
                        "(\"no_token_on_network\": true in the configuration)");
    o.command->add_option("--max-connections", o.max_connections, "Connections open at once, streams included (default 256)")
        ->check(CLI::Range(1, 10000));
    o.command->add_option("--max-streams", o.max_streams,
                          "Event streams open at once, fewer than the connections so that a request always finds\n"
                          "one (default three quarters of --max-connections: 192)")
        ->check(CLI::Range(0, 9999));
    o.command->add_flag("--check", o.check,
                        "Read the options and the configuration file, say whether they would serve, and exit\n"
                        "(0, or 64 with the reason) without listening or opening a port");
    if (windows_services_supported()) {
        o.command->add_option("--windows-service", o.windows_service,
                              "Run under the service control manager as the service NAME (as installed with sc create)");
    }
}

ServeCommand::~ServeCommand() = default;

bool ServeCommand::chosen() const { return options_->command->parsed(); }

int ServeCommand::run() {
    // Under the service control manager a configuration that cannot be read
    // ends the start too: it is read within the body, so that its error also
    // reaches the Event Log and the manager gets the exit status.
    const Body body = [this](const KeepRunning& keep_running, const Journal& journal) {
        ServeSettings settings;
        std::vector<std::string> log_folders;
        try {
            settings = read_settings(log_folders);
        } catch (const std::invalid_argument& error) {
            journal.say(Event::failed, Level::error, error.what());
            return common::kExitUsage;
        }
        try {
            Server server(settings, log_folders, journal);
            const std::string address = server.start();
            std::string scales;
            for (const auto& scale : settings.scales) scales += (scales.empty() ? "" : ", ") + scale.name + " (" + scale.port + ")";
            journal.say(Event::started, Level::notice,
                        "serving " + std::to_string(settings.scales.size()) + " scale(s) at " + address +
                            (settings.token.empty() ? "" : " (bearer token required)") + ": " + scales);
            std::printf("%s\n", address.c_str());
            std::fflush(stdout);
            while (keep_running(kStopCheck)) {
                if (server.failed()) {
                    server.stop();
                    journal.say(Event::failed, Level::error, "stopped: the service can no longer answer");
                    return 1;
                }
            }
            journal.say(Level::notice, "stopping");
            server.stop();
            journal.say(Event::stopped, Level::notice, "stopped");
            return 0;
        } catch (const std::exception& error) {
            journal.say(Event::failed, Level::error, error.what());
            return 1;
        }
    };
    const Options& o = *options_;
    if (o.check) {
        try {
            std::vector<std::string> log_folders;
            const ServeSettings settings = read_settings(log_folders);
            std::printf("settings ok: %zu scale(s), to serve at %s port %u\n", settings.scales.size(),
                        settings.listen.c_str(), static_cast<unsigned>(settings.port));
            return 0;
        } catch (const std::invalid_argument& error) {
            say(Level::error, error.what());
            return common::kExitUsage;
        }
    }
    return o.windows_service.empty() ? run_in_console(body) : run_as_windows_service(o.windows_service, body);
}

ServeSettings ServeCommand::read_settings(std::vector<std::string>& log_folders) const {
    const Options& o = *options_;
    ServeSettings settings;
    if (!o.config.empty()) read_config_file(o.config, settings);
    for (const auto& text : o.scales) settings.scales.push_back(parse_scale(text));
    if (!o.listen.empty()) settings.listen = o.listen;
    if (o.port >= 0) settings.port = static_cast<std::uint16_t>(o.port);
    settings.allowed_origins.insert(settings.allowed_origins.end(), o.origins.begin(), o.origins.end());
    settings.allowed_hosts.insert(settings.allowed_hosts.end(), o.hosts.begin(), o.hosts.end());
    if (!o.token_file.empty()) settings.token = read_token_file(o.token_file, credentials_folder());
    if (o.no_token_on_network) settings.no_token_on_network = true;
    if (o.max_connections > 0) settings.limits.connections = o.max_connections;
    if (o.max_streams >= 0) settings.limits.streams = static_cast<std::size_t>(o.max_streams);
    check(settings);
    if (settings.token.empty() && !settings.no_token_on_network && !loopback(settings.listen)) {
        throw std::invalid_argument("listening on " + settings.listen + " serves the scales beyond this computer, to anyone "
                                    "on its network: give a --token-file (\"token_file\"), or --no-token-on-network "
                                    "(\"no_token_on_network\": true) to serve there without one");
    }
    const std::size_t wanted = descriptors_wanted(settings);
    if (const auto room = descriptor_shortfall(wanted)) {
        throw std::invalid_argument("--max-connections " + std::to_string(settings.limits.connections) + " needs about " +
                                    std::to_string(wanted) + " open files, and this process may open only " +
                                    std::to_string(*room) + ": raise the limit (ulimit -n, or LimitNOFILE= in the "
                                    "systemd unit) or lower --max-connections");
    }
    // Each scale's log as `weigh` keeps it: its own folder, none, or the tool's default.
    for (const auto& scale : settings.scales) {
        if (scale.no_log) {
            log_folders.emplace_back();
        } else if (!scale.log_dir.empty()) {
            // The monitor cannot report a reading it cannot log: the folder must be there first.
            std::error_code error;
            std::filesystem::create_directories(scale.log_dir, error);
            if (error) {
                throw std::invalid_argument("scale " + scale.name + ": cannot create the log folder " + scale.log_dir +
                                            ": " + error.message());
            }
            log_folders.push_back(scale.log_dir);
        } else {
            log_folders.push_back(common::dados_beside_program() ? std::string() : common::user_log_folder());
        }
    }
    return settings;
}

}  // namespace Wsr37100::service
