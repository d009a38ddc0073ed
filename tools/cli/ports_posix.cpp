// `wsr37100 ports` on Linux: serial devices present, with their stable by-id names.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "commands.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

// A ttyS node exists for every possible UART; only those with a port behind
// them have a non-zero type.
bool uart_present(const std::string& name) {
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = 0;
    return type >> value && value != 0;
}

}  // namespace

int ports() {
    std::set<std::string> found;
    std::error_code error;
    const std::regex serial_name("tty(S|USB|ACM|AMA|XRUSB)[0-9]+");
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (!std::regex_match(name, serial_name)) continue;
        if (name.rfind("ttyS", 0) == 0 && !uart_present(name)) continue;
        found.insert(name);
    }
    if (found.empty()) {
        std::printf("no serial ports found\n");
    }
    for (const auto& name : found) {
        std::string alias;
        if (name.rfind("ttyS", 0) == 0) alias = "  (also COM" + std::to_string(std::stoi(name.substr(4)) + 1) + ")";
        std::printf("/dev/%s%s\n", name.c_str(), alias.c_str());
    }
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        const fs::path target = fs::canonical(entry.path(), error);
        std::printf("%s -> %s\n", entry.path().c_str(), error ? "?" : target.c_str());
    }
    std::printf("\nPass the name or the path as PORT (wsr37100 weigh /dev/ttyUSB0 9600).\n"
                "Reading a port needs its group (usually dialout): sudo usermod -aG dialout $USER\n");
    return 0;
}

}  // namespace Wsr37100::cli
