// `wsr37100 serve`: the command-line face of the weighing service.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Wsr37100::service {

struct ServeSettings;

// Adds the subcommand `serve` and its options to the tool's application.
class ServeCommand {
public:
    explicit ServeCommand(CLI::App& app);
    ~ServeCommand();
    ServeCommand(const ServeCommand&) = delete;
    ServeCommand& operator=(const ServeCommand&) = delete;

    // True when the parsed command line chose `serve`.
    bool chosen() const;
    // Serves until stopped: 0 after a clean stop, 64 for a usage or
    // configuration error, 1 when it cannot listen or start a scale.
    int run();

private:
    // The options and the configuration file into settings, and each scale's
    // log folder into log_folders. Throws std::invalid_argument when they are wrong.
    ServeSettings read_settings(std::vector<std::string>& log_folders) const;

    struct Options;
    std::unique_ptr<Options> options_;
};

}  // namespace Wsr37100::service
