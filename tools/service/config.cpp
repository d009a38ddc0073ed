// Reads the service's settings from --scale texts and a JSON configuration file.
#include "config.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <charconv>
#include <fstream>
#include <set>
#include <stdexcept>

namespace Wsr37100::service {

namespace {

constexpr std::size_t kMaxNameLength = 32;
constexpr unsigned kMaxGapMs = 1000;
constexpr std::uint64_t kMaxLimit = 1u << 30;

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

unsigned whole_number(const std::string& text, unsigned most, const std::string& what) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > most) {
        throw std::invalid_argument(what + " must be a whole number from 0 to " + std::to_string(most) + ": " + text);
    }
    return value;
}

unsigned checked_frame(unsigned frame) {
    if (frame != 0 && frame != 7 && frame != 8) {
        throw std::invalid_argument("frame must be 7 or 8: " + std::to_string(frame));
    }
    return frame;
}

void check_scale(const ScaleSettings& scale) {
    if (!valid_scale_name(scale.name)) {
        throw std::invalid_argument("a scale's name is 1 to 32 letters, digits, '-' or '_': '" + scale.name + "'");
    }
    if (scale.port.empty()) throw std::invalid_argument("scale " + scale.name + ": no port");
    if (!all_digits(scale.baud) || scale.baud.find_first_not_of('0') == std::string::npos) {
        throw std::invalid_argument("scale " + scale.name + ": the baud rate must be a whole number above 0: " + scale.baud);
    }
}

template <typename T>
T take(const nlohmann::json& object, const char* key, T fallback) {
    const auto found = object.find(key);
    return found == object.end() ? fallback : found->get<T>();
}

// A whole number from 0 to `most`; a negative, fractional or larger one is refused, never cut to fit.
template <typename T>
T take_whole(const nlohmann::json& object, const char* key, T fallback, std::uint64_t most) {
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    if (!found->is_number_unsigned() || found->get<std::uint64_t>() > most) {
        throw std::invalid_argument(std::string(key) + " must be a whole number from 0 to " + std::to_string(most) + ": " +
                                    found->dump());
    }
    return static_cast<T>(found->get<std::uint64_t>());
}

// The same port however it is written: "ttyUSB0" and "/dev/ttyUSB0", "COM3" and "\\.\COM3".
std::string port_key(std::string port) {
    for (const std::string_view prefix : {std::string_view("/dev/"), std::string_view("\\\\.\\")}) {
        if (port.starts_with(prefix)) port.erase(0, prefix.size());
    }
    std::transform(port.begin(), port.end(), port.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return port;
}

void refuse_unknown_keys(const nlohmann::json& object, std::initializer_list<const char*> known, const std::string& where) {
    if (!object.is_object()) throw std::invalid_argument(where + " must be an object");
    for (const auto& item : object.items()) {
        if (std::none_of(known.begin(), known.end(), [&](const char* key) { return item.key() == key; })) {
            throw std::invalid_argument(where + ": unknown key '" + item.key() + "'");
        }
    }
}

ScaleSettings scale_from_json(const nlohmann::json& object) {
    refuse_unknown_keys(object, {"name", "port", "baud", "gap_ms", "frame", "log_dir", "no_log"}, "a scale");
    ScaleSettings scale;
    scale.name = take<std::string>(object, "name", "");
    scale.port = take<std::string>(object, "port", "");
    const auto baud = object.find("baud");
    if (baud != object.end()) scale.baud = baud->is_number_unsigned() ? std::to_string(baud->get<unsigned>()) : baud->get<std::string>();
    scale.gap_ms = take_whole<unsigned>(object, "gap_ms", scale.gap_ms, kMaxGapMs);
    scale.frame = checked_frame(take_whole<unsigned>(object, "frame", 0, kMaxGapMs));
    scale.log_dir = take<std::string>(object, "log_dir", "");
    scale.no_log = take<bool>(object, "no_log", false);
    check_scale(scale);
    return scale;
}

}  // namespace

bool valid_scale_name(const std::string& name) {
    return !name.empty() && name.size() <= kMaxNameLength && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

ScaleSettings parse_scale(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) throw std::invalid_argument("--scale is NAME=PORT[:BAUD][,OPTION...]: " + text);
    ScaleSettings scale;
    scale.name = text.substr(0, equals);
    const std::string rest = text.substr(equals + 1);
    const auto comma = rest.find(',');
    scale.port = rest.substr(0, comma);
    // The baud rate after the last colon, unless that colon is a network name's own: the one after
    // its host, which may be an IPv6 address in brackets ("tcp://[::1]:4001").
    const auto colon = scale.port.rfind(':');
    const auto scheme = scale.port.find("://");
    bool host_port = false;
    if (scheme != std::string::npos) {
        const auto host = scheme + 3;
        const auto host_end = scale.port.compare(host, 1, "[") == 0 ? scale.port.find(']', host) : host;
        host_port = host_end == std::string::npos || scale.port.find(':', host_end) == colon;
    }
    if (colon != std::string::npos && !host_port && all_digits(scale.port.substr(colon + 1))) {
        scale.baud = scale.port.substr(colon + 1);
        scale.port.erase(colon);
    }
    for (auto start = comma; start != std::string::npos;) {
        const auto next = rest.find(',', start + 1);
        const std::string option = rest.substr(start + 1, next == std::string::npos ? std::string::npos : next - start - 1);
        start = next;
        const auto is = option.find('=');
        const std::string key = option.substr(0, is);
        const std::string value = is == std::string::npos ? std::string() : option.substr(is + 1);
        if (key == "no-log" && is == std::string::npos) {
            scale.no_log = true;
        } else if (key == "gap" && is != std::string::npos) {
            scale.gap_ms = whole_number(value, kMaxGapMs, "gap");
        } else if (key == "frame" && is != std::string::npos) {
            scale.frame = checked_frame(whole_number(value, kMaxGapMs, "frame"));
        } else if (key == "log-dir" && !value.empty()) {
            scale.log_dir = value;
        } else if (key == "baud" && all_digits(value)) {
            scale.baud = value;
        } else {
            throw std::invalid_argument("--scale " + scale.name + ": unknown option '" + option +
                                        "' (gap=MS, frame=7|8, log-dir=DIR, no-log, baud=N)");
        }
    }
    check_scale(scale);
    return scale;
}

std::string read_token_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string token;
    if (!file || !std::getline(file, token)) throw std::invalid_argument("cannot read the token file " + path);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
    if (token.empty()) throw std::invalid_argument("the token file " + path + " is empty");
    return token;
}

void read_config_file(const std::string& path, ServeSettings& settings) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read the configuration file " + path);
    try {
        const nlohmann::json config = nlohmann::json::parse(file, nullptr, true, true);
        refuse_unknown_keys(config, {"listen", "port", "token_file", "allowed_origins", "allowed_hosts", "limits", "scales"},
                            "the configuration");
        settings.listen = take<std::string>(config, "listen", settings.listen);
        settings.port = take_whole<std::uint16_t>(config, "port", settings.port, 65535);
        const std::string token_file = take<std::string>(config, "token_file", "");
        if (!token_file.empty()) settings.token = read_token_file(token_file);
        settings.allowed_origins = take<std::vector<std::string>>(config, "allowed_origins", settings.allowed_origins);
        settings.allowed_hosts = take<std::vector<std::string>>(config, "allowed_hosts", settings.allowed_hosts);
        if (const auto limits = config.find("limits"); limits != config.end()) {
            refuse_unknown_keys(*limits, {"connections", "header_bytes", "headers", "body_bytes"}, "limits");
            Limits& mine = settings.limits;
            mine.connections = take_whole<std::size_t>(*limits, "connections", mine.connections, kMaxLimit);
            mine.header_bytes = take_whole<std::size_t>(*limits, "header_bytes", mine.header_bytes, kMaxLimit);
            mine.headers = take_whole<std::size_t>(*limits, "headers", mine.headers, kMaxLimit);
            mine.body_bytes = take_whole<std::size_t>(*limits, "body_bytes", mine.body_bytes, kMaxLimit);
        }
        if (const auto scales = config.find("scales"); scales != config.end()) {
            if (!scales->is_array()) throw std::invalid_argument("scales must be an array");
            for (const auto& scale : *scales) settings.scales.push_back(scale_from_json(scale));
        }
    } catch (const nlohmann::json::exception& error) {
        throw std::invalid_argument(path + ": " + error.what());
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(path + ": " + error.what());
    }
}

void check(const ServeSettings& settings) {
    if (settings.scales.empty()) throw std::invalid_argument("no scale: name one with --scale NAME=PORT:BAUD or in --config");
    std::set<std::string> names;
    std::set<std::string> ports;
    for (const auto& scale : settings.scales) {
        if (!names.insert(scale.name).second) throw std::invalid_argument("two scales are named " + scale.name);
        // A port is opened exclusively: a second scale on it would only ever be "busy".
        if (!ports.insert(port_key(scale.port)).second) throw std::invalid_argument("two scales use the port " + scale.port);
    }
    const Limits& limits = settings.limits;
    if (limits.connections < 1 || limits.header_bytes < 256 || limits.headers < 4) {
        throw std::invalid_argument("limits: at least 1 connection, 256 header bytes and 4 headers");
    }
    if (settings.listen.empty()) throw std::invalid_argument("no address to listen on");
    // A browser sends its Origin as scheme://host[:port]; anything else would never match.
    for (const auto& origin : settings.allowed_origins) {
        const auto scheme = origin.find("://");
        if (scheme == std::string::npos || scheme == 0 || origin.size() == scheme + 3 ||
            origin.find('/', scheme + 3) != std::string::npos) {
            throw std::invalid_argument("an allowed origin is scheme://host[:port], as https://pos.example: " + origin);
        }
    }
}

}  // namespace Wsr37100::service
