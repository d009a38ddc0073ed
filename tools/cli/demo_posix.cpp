// `wsr37100 demo`: a simulated scale weighed through the library, in a temporary folder it removes.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "commands.hpp"
#include "common/interrupts.hpp"
#include "common/reading.hpp"
#include "reader.hpp"
#include "scale_emulator.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

// A new folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "wsr37100-demo-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Control bytes of the log made visible: <02> for STX and so on.
std::string visible(const std::string& line) {
    std::string shown;
    char code[8];
    for (unsigned char c : line) {
        if (c < 0x20) {
            std::snprintf(code, sizeof code, "<%02X>", c);
            shown += code;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return common::to_utf8(shown);
}

// False when interrupted: the scale vanishes, so the reading ends at once.
bool demo_reading(const char* what, const std::vector<ScaleReply>& script, unsigned gap_ms, const fs::path& log,
                  const common::Interrupts& interrupts) {
    ScaleEmulator scale(script);
    const auto start = std::chrono::steady_clock::now();
    BackgroundReading background({scale.device_path(), "9600", WSR_LOG_PASTA, log.string(), gap_ms});
    const auto reading = background.wait(interrupts);
    if (!reading) {
        scale.vanish();
        return false;
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("  %-34s gap %2u ms  %6lld ms  %s\n", what, gap_ms, static_cast<long long>(took.count()),
                common::describe(*reading).c_str());
    std::fflush(stdout);
    return true;
}

struct DemoCase {
    const char* what;
    std::vector<ScaleReply> script;
    unsigned gap_ms;
};

}  // namespace

int demo() {
    const common::Interrupts interrupts;
    const TemporaryFolder log;
    std::printf("wsr37100 demo: a simulated scale, weighed through the library\n");
    std::printf("log folder (removed at the end): %s\n\n", log.path().c_str());
    const DemoCase cases[] = {
        {"8-byte reply 12.345 kg", {ScaleReply::bytes(delimited_frame("12.345"))}, 0},
        {"7-byte reply 1.234 kg", {ScaleReply::bytes(fixed_frame("01234"))}, 0},
        {"7-byte reply 1.234 kg", {ScaleReply::bytes(fixed_frame("01234"))}, 20},
        {"status N (8 bytes)", {ScaleReply::bytes(delimited_frame("NNNNNN"))}, 20},
        {"partial reply, then a frame", {ScaleReply::bytes("\x02" "1"), ScaleReply::bytes(delimited_frame(" 0.500"))}, 20},
        {"a scale that says nothing", {ScaleReply::silence()}, 20},
    };
    for (const auto& c : cases) {
        if (!demo_reading(c.what, c.script, c.gap_ms, log.path(), interrupts)) return common::kExitInterrupted;
    }
    std::printf("\nlog lines written:\n");
    for (const auto& entry : fs::directory_iterator(log.path())) {
        std::printf("  %s\n", entry.path().filename().c_str());
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::printf("    %s\n", visible(line).c_str());
        }
    }
    return 0;
}

}  // namespace Wsr37100::cli
