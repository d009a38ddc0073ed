// Reads the service's settings from --scale texts and a JSON configuration file.
#include "config.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>

#include "common/origin.hpp"
#include "link/port_name.hpp"
#include "user.hpp"

namespace Wsr37100::service {

namespace {

constexpr std::size_t kMaxNameLength = 32;
constexpr unsigned kMaxGapMs = 1000;
constexpr std::uint64_t kMaxLimit = 1u << 30;
// The library reads a baud rate as a 32-bit signed whole number.
constexpr std::uint64_t kMaxBaud = std::numeric_limits<std::int32_t>::max();
// A configuration is three levels deep; anything much deeper is no configuration of ours.
constexpr std::size_t kDeepestJson = 64;
// A bearer token is one short line; the file holding it is read no further than this.
constexpr std::size_t kLongestToken = 512;

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
    const auto first = scale.baud.find_first_not_of('0');
    if (!all_digits(scale.baud) || first == std::string::npos || scale.baud.size() - first > 10 ||
        std::stoull(scale.baud.substr(first)) > kMaxBaud) {
        throw std::invalid_argument("scale " + scale.name + ": the baud rate must be a whole number above 0 and at most " +
                                    std::to_string(kMaxBaud) + ": " + scale.baud);
    }
}

// What a refused value is, for a message: a number, true, false or null as written, anything
// else by its type (its text may be huge, or nested deeper than a recursive dump can go).
std::string described(const nlohmann::json& value) {
    if (value.is_number() || value.is_boolean() || value.is_null()) return value.dump();
    return std::string(value.is_array() || value.is_object() ? "an " : "a ") + value.type_name();
}

template <typename T>
T take(const nlohmann::json& object, const char* key, T fallback) {
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    try {
        return found->get<T>();
    } catch (const nlohmann::json::type_error& error) {
        throw std::invalid_argument(std::string(key) + ": " + error.what());  // which setting, not only which type
    }
}

// A whole number from 0 to `most`; a negative, fractional or larger one is refused, never cut to fit.
template <typename T>
T take_whole(const nlohmann::json& object, const char* key, T fallback, std::uint64_t most) {
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    if (!found->is_number_unsigned() || found->get<std::uint64_t>() > most) {
        throw std::invalid_argument(std::string(key) + " must be a whole number from 0 to " + std::to_string(most) + ": " +
                                    described(*found));
    }
    return static_cast<T>(found->get<std::uint64_t>());
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A device server's endpoint, whichever protocol speaks to it: "tcp://LocalHost:04001" and
// "rfc2217://127.0.0.1:4001" are one. Empty when the name has no HOST:PORT after its "://"
// as the library reads it.
std::string endpoint_key(const std::string& port_name) {
    const auto parts = split_network_name(port_name);
    if (!parts) return {};
    std::string name = lower(parts->host);
    if (name == "localhost") name = "127.0.0.1";
    std::string_view port = parts->port;
    const auto first = port.find_first_not_of('0');
    port = first == std::string_view::npos ? port.substr(port.empty() ? 0 : port.size() - 1) : port.substr(first);
    return "[" + name + "]:" + std::string(port);
}

// The same port however it is written: "ttyUSB0", "/dev/ttyUSB0", "/dev/serial/../ttyUSB0" and a link
// to it; "COM3", "com3:" and "\\.\COM3"; one device server's endpoint by name or address.
std::string port_key(const std::string& port) {
    if (has_scheme(port)) {
        const std::string endpoint = endpoint_key(port);
        return endpoint.empty() ? lower(port) : "network " + endpoint;
    }
    std::string name = port;
    if (name.ends_with(':')) name.pop_back();  // the module's "COM1:"
    const std::string windows = lower(name);
    if (windows.starts_with("\\\\.\\") || windows.starts_with("//./")) name.erase(0, 4);
    // A name without a folder is a device's: /dev/NAME here, \\.\NAME on Windows.
    namespace fs = std::filesystem;
    fs::path path = fs::path(name.starts_with('/') ? name : "/dev/" + name).lexically_normal();
    // Only a path is followed through its links: a device's plain name ("COM3") is never
    // looked up, since on Windows that would open the device itself.
    std::error_code error;
    if (name.starts_with('/')) {
        if (const fs::path real = fs::canonical(path, error); !error) path = real;
    }
    std::string key = path.generic_string();
    if (key.starts_with("/dev/")) key.erase(0, 5);
    return "device " + lower(key);
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
    if (baud != object.end() && baud->is_number()) {
        if (!baud->is_number_unsigned() || baud->get<std::uint64_t>() == 0 || baud->get<std::uint64_t>() > kMaxBaud) {
            throw std::invalid_argument("baud must be a whole number from 1 to " + std::to_string(kMaxBaud) + ": " +
                                        described(*baud));
        }
        scale.baud = std::to_string(baud->get<std::uint64_t>());
    } else if (baud != object.end()) {
        scale.baud = baud->get<std::string>();
    }
    scale.gap_ms = take_whole<unsigned>(object, "gap_ms", scale.gap_ms, kMaxGapMs);
    scale.frame = checked_frame(take_whole<unsigned>(object, "frame", 0, kMaxGapMs));
    scale.log_dir = take<std::string>(object, "log_dir", "");
    scale.no_log = take<bool>(object, "no_log", false);
    check_scale(scale);
    return scale;
}

}  // namespace

std::size_t stream_limit(const Limits& limits) { return limits.streams ? *limits.streams : limits.connections * 3 / 4; }

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
    const bool host_port = has_scheme(scale.port) && ends_with_network_port(scale.port);
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

std::string credentials_folder() {
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    return folder ? folder : "";
}

std::string read_token_file(const std::string& path, const std::string& credentials) {
    // A bare name under systemd's credentials is the credential of that name (LoadCredential=).
    const bool credential = !credentials.empty() && !path.empty() && path != "." && path != ".." &&
                            path.find_first_of("/\\") == std::string::npos;
    const std::string opened = credential ? (std::filesystem::path(credentials) / path).string() : path;
    errno = 0;
    std::ifstream file(opened, std::ios::binary);
    if (!file) {
        const int reason = errno;
        std::string refusal = "cannot read the token file " + path;
        if (credential) refusal += " (the credential " + opened + ", which systemd loads from /etc/credstore/" + path + ")";
        if (!credential && path.find_first_of("/\\") == std::string::npos) {
            refusal += " (in the working folder: no $CREDENTIALS_DIRECTORY, which systemd gives with LoadCredential=)";
        }
        refusal += " as user " + process_user();
        if (reason != 0) refusal += ": " + std::generic_category().message(reason);
        if (reason == EACCES && !credential) {
            refusal += "; a file only root may read reaches the service as a systemd credential (LoadCredential=)";
        }
        throw std::invalid_argument(refusal);
    }
    // One byte more than the longest token and its line end: /dev/zero or a log named by mistake is never read whole.
    std::string head(kLongestToken + 3, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    if (file.bad()) throw std::invalid_argument("cannot read the token file " + path);
    head.resize(static_cast<std::size_t>(file.gcount()));
    const auto line_end = head.find('\n');
    if (line_end == std::string::npos && !file.eof()) {
        throw std::invalid_argument("the token file " + path + " must hold one line of at most " +
                                    std::to_string(kLongestToken) + " bytes");
    }
    std::string token = head.substr(0, line_end);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
    if (token.empty()) throw std::invalid_argument("the token file " + path + " is empty");
    if (token.size() > kLongestToken) {
        throw std::invalid_argument("the token file " + path + " must hold one line of at most " +
                                    std::to_string(kLongestToken) + " bytes");
    }
    return token;
}

void read_config_file(const std::string& path, ServeSettings& settings) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read the configuration file " + path);
    try {
        // Refused while it is read: a deeper document would only be taken apart again.
        const auto shallow = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start) &&
                static_cast<std::size_t>(depth) >= kDeepestJson) {
                throw std::invalid_argument("nested deeper than " + std::to_string(kDeepestJson) + " levels");
            }
            return true;
        };
        const nlohmann::json config = nlohmann::json::parse(file, shallow, true, true);
        refuse_unknown_keys(config, {"listen", "port", "token_file", "no_token_on_network", "allowed_origins", "allowed_hosts",
                                     "limits", "scales"},
                            "the configuration");
        settings.listen = take<std::string>(config, "listen", settings.listen);
        settings.port = take_whole<std::uint16_t>(config, "port", settings.port, 65535);
        const std::string token_file = take<std::string>(config, "token_file", "");
        if (!token_file.empty()) settings.token = read_token_file(token_file, credentials_folder());
        settings.no_token_on_network = take<bool>(config, "no_token_on_network", settings.no_token_on_network);
        settings.allowed_origins = take<std::vector<std::string>>(config, "allowed_origins", settings.allowed_origins);
        settings.allowed_hosts = take<std::vector<std::string>>(config, "allowed_hosts", settings.allowed_hosts);
        if (const auto limits = config.find("limits"); limits != config.end()) {
            refuse_unknown_keys(*limits, {"connections", "streams", "header_bytes", "headers", "body_bytes"}, "limits");
            Limits& mine = settings.limits;
            mine.connections = take_whole<std::size_t>(*limits, "connections", mine.connections, kMaxLimit);
            if (limits->contains("streams")) mine.streams = take_whole<std::size_t>(*limits, "streams", 0, kMaxLimit);
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
    if (limits.streams && *limits.streams >= limits.connections) {
        throw std::invalid_argument("limits: streams (" + std::to_string(*limits.streams) + ") must be fewer than connections (" +
                                    std::to_string(limits.connections) +
                                    "), so that a request always finds one (--max-streams, --max-connections)");
    }
    if (settings.listen.empty()) throw std::invalid_argument("no address to listen on");
    // A browser sends its Origin as scheme://host[:port]; anything else would never match.
    for (const auto& origin : settings.allowed_origins) {
        if (!common::valid_origin(origin)) {
            throw std::invalid_argument("an allowed origin is scheme://host[:port], as https://pos.example: " + origin);
        }
        // Compared byte for byte with the Origin header: only the browsers' own form can ever match.
        const std::string sent = common::serialized_origin(origin);
        if (sent.empty()) {
            throw std::invalid_argument("no browser sends the allowed origin " + origin +
                                        " (a host ending in a dot, brackets holding no IPv6 address, or an IPv4 "
                                        "address not written as four numbers from 0 to 255)");
        }
        if (sent != origin) {
            throw std::invalid_argument("a browser sends the allowed origin " + origin + " as " + sent + ": write it so");
        }
    }
}

}  // namespace Wsr37100::service
