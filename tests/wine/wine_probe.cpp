// A Windows program that the Wine tests drive: one serial poll, printed as one line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/serial_port.hpp"
#include "wsr37100.hpp"

namespace {

int poll_once(const char* port, const char* baud, long gap_ms) {
    using namespace Wsr37100;
    try {
        auto link = SerialPort::open(std::string(port) + ":", baud, LinkOptions{std::chrono::milliseconds(gap_ms)});
        if (!link) {
            std::printf("none\n");
            return 0;
        }
        ReceiveBuffer buffer{};
        const auto start = std::chrono::steady_clock::now();
        const auto count = link->poll(buffer);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (!count) {
            std::printf("failed ms=%lld\n", static_cast<long long>(took.count()));
            return 0;
        }
        std::printf("count=%u ms=%lld bytes=", static_cast<unsigned>(*count), static_cast<long long>(took.count()));
        for (std::size_t i = 0; i < *count; ++i) std::printf("%02X", buffer[i]);
        std::printf("\n");
    } catch (const Falha& failure) {
        std::printf("raised %s\n", failure.what());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "serial" && argc == 5) return poll_once(argv[2], argv[3], std::atol(argv[4]));
    std::fprintf(stderr, "usage: wine_probe serial PORT BAUD GAP_MS\n");
    return 64;
}
