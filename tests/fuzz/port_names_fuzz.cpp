// libFuzzer target over what a host names a port with: tcp:// and rfc2217://
// names, the device paths a name gives on Windows and on POSIX, and a list of
// rates to probe it at. Input: the text.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wsr37100_falha.hpp"
#include "detection/detection.hpp"
#include "link/port_name.hpp"
#include "link/serial/serial_port.hpp"

namespace {

using namespace Wsr37100;

void check(bool condition) {
    if (!condition) std::abort();
}

// The name as the documentation writes it: scheme://HOST:PORT, an IPv6 host in brackets.
std::string canonical(const NetworkName& name) {
    const bool brackets = name.host.find(':') != std::string::npos;
    return name.scheme + "://" + (brackets ? "[" + name.host + "]" : name.host) + ":" + name.port;
}

void check_network_name(std::string_view text) {
    const ParsedNetworkName parsed = parse_network_name(text);
    if (!parsed.name) {
        check(!parsed.refusal.empty());
        return;
    }
    const NetworkName& name = *parsed.name;
    check(parsed.refusal.empty());
    check(!name.host.empty() && !name.port.empty() && name.port.size() <= 5);
    check(std::all_of(name.port.begin(), name.port.end(), [](char c) { return c >= '0' && c <= '9'; }));
    const long port = std::stol(name.port);
    check(port >= 1 && port <= 65535);
    const ParsedNetworkName again = parse_network_name(canonical(name));
    check(again.name.has_value());
    check(again.name->scheme == name.scheme && again.name->host == name.host && again.name->port == name.port);
}

void check_windows_path(std::string_view text) {
    const std::string path = windows_device_path(text);
    if (path.empty()) return;
    // "\\.\" and a device's plain name: no separator, drive, dot or namespace folder after it.
    check(path.starts_with("\\\\.\\") && path.size() > 4);
    check(std::all_of(path.begin() + 4, path.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    }));
    check(windows_device_path(path) == path);
}

void check_posix_path(std::string_view text) {
    const std::string path = posix_device_path(text);
    const std::string_view name = text;
    if (name.starts_with('/')) {
        check(path == name);  // a path is the user's own
    } else {
        check(path.starts_with("/dev/"));
        check(path == "/dev/" + std::string(name) || path.starts_with("/dev/ttyS"));
    }
}

// A rate list is refused, or gives 1 to 16 positive rates that read back the same.
void check_rate_list(std::string_view text) {
    std::vector<std::int32_t> rates;
    try {
        rates = detection_rates(text);
    } catch (const Falha&) {
        return;
    }
    check(!rates.empty() && rates.size() <= 16);
    check(std::all_of(rates.begin(), rates.end(), [](std::int32_t rate) { return rate > 0; }));
    std::string written;
    for (const std::int32_t rate : rates) written += (written.empty() ? "" : ",") + std::to_string(rate);
    check(detection_rates(written) == rates);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_network_name(text);
    check_windows_path(text);
    check_posix_path(text);
    check_rate_list(text);
    return 0;
}
