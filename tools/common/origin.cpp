// Web origins: scheme://host[:port].
#include "common/origin.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace Wsr37100::common {

namespace {

bool letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The host of a valid origin, brackets included.
std::string_view host_of(std::string_view origin) {
    std::string_view rest = origin.substr(origin.find("://") + 3);
    if (rest.front() == '[') return rest.substr(0, rest.find(']') + 1);
    return rest.substr(0, rest.find(':'));
}

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace

bool valid_origin(std::string_view origin) {
    const auto separator = origin.find("://");
    if (separator == std::string_view::npos || separator == 0 || !letter(origin.front())) return false;
    for (const char c : origin.substr(0, separator)) {
        if (!letter(c) && !digit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    std::string_view rest = origin.substr(separator + 3);
    std::size_t host_end = 0;
    if (!rest.empty() && rest.front() == '[') {
        host_end = rest.find(']');
        if (host_end == std::string_view::npos || host_end < 3) return false;
        for (const char c : rest.substr(1, host_end - 1)) {
            if (!hex_digit(c) && c != ':' && c != '.') return false;
        }
        ++host_end;
    } else {
        while (host_end < rest.size() && (letter(rest[host_end]) || digit(rest[host_end]) || rest[host_end] == '-' ||
                                          rest[host_end] == '.' || rest[host_end] == '_')) {
            ++host_end;
        }
        if (host_end == 0) return false;
    }
    rest.remove_prefix(host_end);
    if (rest.empty()) return true;
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
    unsigned port = 0;
    const char* end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data() + 1, end, port);
    return error == std::errc() && stop == end && digit(rest[1]) && port >= 1 && port <= 65535;
}

bool loopback_origin(std::string_view origin) {
    const std::string host = lower(host_of(origin));
    if (host == "localhost" || (host.size() > 10 && host.ends_with(".localhost")) || host == "[::1]") return true;
    // 127.0.0.0/8, written as four numbers.
    unsigned parts = 0;
    std::size_t at = 0;
    while (at <= host.size()) {
        const std::size_t dot = std::min(host.find('.', at), host.size());
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(host.data() + at, host.data() + dot, value);
        if (error != std::errc() || stop != host.data() + dot || dot == at || value > 255) return false;
        if (parts == 0 && value != 127) return false;
        ++parts;
        at = dot + 1;
    }
    return parts == 4;
}

}  // namespace Wsr37100::common
