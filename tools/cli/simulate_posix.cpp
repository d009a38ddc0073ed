// `wsr37100 simulate`: a scale played on a pseudo-terminal until Ctrl-C or SIGTERM.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "commands.hpp"
#include "interrupts.hpp"
#include "reading.hpp"
#include "scale_emulator.hpp"
#include "script.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kIdle{1000};

// A symbolic link that this process made and removes: it never replaces
// anything, and it is removed only while it still points where it was made to.
class OwnLink {
public:
    OwnLink(fs::path link, fs::path target) : link_(std::move(link)), target_(std::move(target)) {
        std::error_code error;
        fs::create_symlink(target_, link_, error);
        if (error == std::errc::file_exists) {
            throw std::runtime_error(link_.string() + " already exists; choose a path that does not, "
                                     "the simulator never replaces a file");
        }
        if (error == std::errc::no_such_file_or_directory) {
            throw std::runtime_error("the folder " + link_.parent_path().string() + " does not exist");
        }
        if (error) throw std::runtime_error("cannot make the link " + link_.string() + ": " + error.message());
    }
    ~OwnLink() {
        std::error_code error;
        if (fs::read_symlink(link_, error) == target_ && !error) fs::remove(link_, error);
    }
    OwnLink(const OwnLink&) = delete;
    OwnLink& operator=(const OwnLink&) = delete;

private:
    fs::path link_;
    fs::path target_;
};

}  // namespace

int simulate(const SimulateOptions& options) {
    std::vector<ScaleReply> script;
    try {
        script = build_script(options);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "wsr37100 simulate: %s\n", error.what());
        return kExitUsage;
    }
    const Interrupts interrupts;
    ScaleEmulator scale(script, true);
    scale.on_poll([](int poll, const ScaleReply& reply) {
        std::fprintf(stderr, "poll %d: %s\n", poll, reply.describe().c_str());
    });
    std::optional<OwnLink> link;
    try {
        if (!options.link.empty()) link.emplace(options.link, scale.device_path());
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "wsr37100 simulate: %s\n", error.what());
        return kExitCannotCreate;
    }
    std::printf("%s\n", options.link.empty() ? scale.device_path().c_str() : options.link.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "simulated scale on %s; Ctrl-C to stop\n", scale.device_path().c_str());
    while (interrupts.sleep_for(kIdle)) {
    }
    return 0;
}

}  // namespace Wsr37100::cli
