// Reading a port name: its scheme, and a network name's host and port.
#include "link/port_name.hpp"

#include <algorithm>
#include <cctype>

namespace Wsr37100 {

namespace {

constexpr std::string_view kSeparator = "://";

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool has_scheme(std::string_view name) { return name.find(kSeparator) != std::string_view::npos; }

std::string scheme_of(std::string_view name) {
    const auto separator = name.find(kSeparator);
    if (separator == std::string_view::npos) return {};
    std::string scheme(name.substr(0, separator));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

std::optional<NetworkName> split_network_name(std::string_view name) {
    const auto separator = name.find(kSeparator);
    if (separator == std::string_view::npos) return std::nullopt;
    const std::string_view rest = name.substr(separator + kSeparator.size());
    NetworkName parts{scheme_of(name), {}, {}};
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") return std::nullopt;
        parts.host = std::string(rest.substr(1, close - 1));
        parts.port = std::string(rest.substr(close + 2));
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        parts.host = std::string(rest.substr(0, colon));
        parts.port = std::string(rest.substr(colon + 1));
    }
    return parts;
}

bool ends_with_network_port(std::string_view name) {
    const auto parts = split_network_name(name);
    if (!parts) return true;
    const bool bracketed = name.substr(name.find(kSeparator) + kSeparator.size()).starts_with('[');
    return bracketed ? parts->port.find(':') == std::string::npos : parts->host.find(':') == std::string::npos;
}

ParsedNetworkName parse_network_name(std::string_view name) {
    const std::string usage = "endere\xE7o inv\xE1lido (use HOST:PORTA, ou [IPv6]:PORTA)";
    const auto parts = split_network_name(name);
    if (!parts) return {std::nullopt, usage};
    const std::string_view rest = name.substr(name.find(kSeparator) + kSeparator.size());
    // Only a host in brackets may hold a colon: "tcp://::1:4001" is no name.
    if (rest.front() != '[' && parts->host.find(':') != std::string::npos) return {std::nullopt, usage};
    const std::string& host = parts->host;
    const std::string& port = parts->port;
    const bool host_ok = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) || c == '.' || c == '-' || c == ':' || c == '_' || c == '%';
    });
    if (!host_ok || !all_digits(port) || port.size() > 5 || std::stol(port) < 1 || std::stol(port) > 65535) {
        return {std::nullopt, usage};
    }
    return {parts, {}};
}

}  // namespace Wsr37100
