// `wsr37100 simulate` and `wsr37100 demo`: a scale played on a pseudo-terminal.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "commands.hpp"
#include "reading.hpp"
#include "scale_emulator.hpp"
#include "script.hpp"
#include "wsr37100.h"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

int simulate(const SimulateOptions& options) {
    std::vector<ScaleReply> script;
    try {
        script = build_script(options);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "wsr37100 simulate: %s\n", error.what());
        return kExitUsage;
    }
    catch_interrupts();
    ScaleEmulator scale(script, true);
    scale.on_poll([](int poll, const ScaleReply& reply) {
        std::fprintf(stderr, "poll %d: %s\n", poll, reply.describe().c_str());
    });
    if (!options.link.empty()) {
        std::error_code ignored;
        fs::remove(options.link, ignored);
        fs::create_symlink(scale.device_path(), options.link);
    }
    std::printf("%s\n", options.link.empty() ? scale.device_path().c_str() : options.link.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "simulated scale on %s; Ctrl-C to stop\n", scale.device_path().c_str());
    while (sleep_unless_interrupted(1000)) {
    }
    if (!options.link.empty()) {
        std::error_code ignored;
        fs::remove(options.link, ignored);
    }
    return 0;
}

namespace {

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
    return to_utf8(shown);
}

void demo_reading(const char* what, const std::vector<ScaleReply>& script, unsigned gap_ms, const std::string& log) {
    ScaleEmulator scale(script);
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, log.c_str(), gap_ms};
    WsrLeitura reading{};
    reading.tamanho = sizeof reading;
    const auto start = std::chrono::steady_clock::now();
    BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &reading);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("  %-34s gap %2u ms  %6lld ms  %s\n", what, gap_ms, static_cast<long long>(took.count()),
                describe(reading).c_str());
    std::fflush(stdout);
}

}  // namespace

int demo() {
    char pattern[] = "/tmp/wsr37100-demo-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("wsr37100 demo: mkdtemp");
        return 1;
    }
    const std::string log = pattern;
    std::printf("wsr37100 demo: a simulated scale, weighed through the library\n");
    std::printf("log folder: %s\n\n", log.c_str());
    demo_reading("8-byte reply 12.345 kg", {ScaleReply::bytes(delimited_frame("12.345"))}, 0, log);
    demo_reading("7-byte reply 1.234 kg", {ScaleReply::bytes(fixed_frame("01234"))}, 0, log);
    demo_reading("7-byte reply 1.234 kg", {ScaleReply::bytes(fixed_frame("01234"))}, 20, log);
    demo_reading("status N (8 bytes)", {ScaleReply::bytes(delimited_frame("NNNNNN"))}, 20, log);
    demo_reading("partial reply, then a frame",
                 {ScaleReply::bytes("\x02" "1"), ScaleReply::bytes(delimited_frame(" 0.500"))}, 20, log);
    demo_reading("a scale that says nothing", {ScaleReply::silence()}, 20, log);
    std::printf("\nlog lines written:\n");
    for (const auto& entry : fs::directory_iterator(log)) {
        std::printf("  %s\n", entry.path().c_str());
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
