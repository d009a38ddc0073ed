// Web origins: scheme://host[:port].
#include "common/origin.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

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

// Four numbers from 0 to 255, without leading zeros, as a browser writes an IPv4 address.
std::optional<std::array<unsigned, 4>> ipv4_numbers(std::string_view text) {
    std::array<unsigned, 4> numbers{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::size_t dot = std::min(text.find('.', at), text.size());
        const std::string_view part = text.substr(at, dot - at);
        if ((dot == text.size()) != (i == 3) || part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
            return std::nullopt;
        }
        const auto [stop, error] = std::from_chars(part.data(), part.data() + part.size(), numbers[i]);
        if (error != std::errc() || stop != part.data() + part.size() || numbers[i] > 255) return std::nullopt;
        at = dot + 1;
    }
    return numbers;
}

// Groups of 1 to 4 hexadecimal digits between colons, the last one perhaps an IPv4 address.
bool read_groups(std::string_view part, bool last, std::vector<unsigned>& pieces) {
    if (part.empty()) return true;
    for (std::size_t at = 0;;) {
        const std::size_t colon = std::min(part.find(':', at), part.size());
        const std::string_view group = part.substr(at, colon - at);
        if (last && colon == part.size() && group.find('.') != std::string_view::npos) {
            const auto numbers = ipv4_numbers(group);
            if (!numbers) return false;
            pieces.push_back((*numbers)[0] << 8 | (*numbers)[1]);
            pieces.push_back((*numbers)[2] << 8 | (*numbers)[3]);
            return true;
        }
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(group.data(), group.data() + group.size(), value, 16);
        if (group.empty() || group.size() > 4 || error != std::errc() || stop != group.data() + group.size()) return false;
        pieces.push_back(value);
        if (colon == part.size()) return true;
        at = colon + 1;
    }
}

// The eight 16-bit pieces of an IPv6 address, written without brackets.
std::optional<std::array<unsigned, 8>> ipv6_pieces(std::string_view text) {
    const std::size_t gap = text.find("::");
    const bool compressed = gap != std::string_view::npos;
    const std::string_view tail = compressed ? text.substr(gap + 2) : std::string_view{};
    std::vector<unsigned> front, back;
    if ((compressed && tail.find("::") != std::string_view::npos) ||
        !read_groups(compressed ? text.substr(0, gap) : text, !compressed, front) || !read_groups(tail, true, back)) {
        return std::nullopt;
    }
    const std::size_t count = front.size() + back.size();
    if (compressed ? count > 7 : count != 8) return std::nullopt;
    std::array<unsigned, 8> pieces{};
    std::copy(front.begin(), front.end(), pieces.begin());
    std::copy(back.begin(), back.end(), pieces.end() - static_cast<std::ptrdiff_t>(back.size()));
    return pieces;
}

// The address's shortest form: the first longest run of two or more zero pieces written "::".
std::string ipv6_text(const std::array<unsigned, 8>& pieces) {
    std::size_t run_at = pieces.size(), run = 1;
    for (std::size_t i = 0; i < pieces.size();) {
        std::size_t end = i;
        while (end < pieces.size() && pieces[end] == 0) ++end;
        if (end - i > run) run_at = i, run = end - i;
        i = end == i ? i + 1 : end;
    }
    std::string text = "[";
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i == run_at) {
            text += i == 0 ? "::" : ":";
            i += run - 1;
            continue;
        }
        char digits[8];
        const auto [stop, error] = std::to_chars(digits, digits + sizeof digits, pieces[i], 16);
        text.append(digits, stop);
        if (i + 1 < pieces.size()) text += ':';
    }
    return text + "]";
}

// The host as a browser writes it; empty when no browser would.
std::string serialized_host(std::string_view host) {
    if (host.front() == '[') {
        const auto pieces = ipv6_pieces(host.substr(1, host.size() - 2));
        return pieces ? ipv6_text(*pieces) : std::string();
    }
    std::string name = lower(host);
    if (name.back() == '.') return {};
    // A name whose last part is a number, decimal or 0x hexadecimal, is an IPv4 address to a browser.
    const std::string_view last = std::string_view(name).substr(name.rfind('.') + 1);
    const bool hexadecimal = last.starts_with("0x") && std::all_of(last.begin() + 2, last.end(), hex_digit);
    if (hexadecimal || std::all_of(last.begin(), last.end(), digit)) return ipv4_numbers(name) ? name : std::string();
    return name;
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

std::string serialized_origin(std::string_view origin) {
    const std::size_t separator = origin.find("://");
    const std::string scheme = lower(origin.substr(0, separator));
    const std::string_view host = host_of(origin);
    const std::string name = serialized_host(host);
    if (name.empty()) return {};
    std::string text = scheme + "://" + name;
    const std::string_view rest = origin.substr(separator + 3 + host.size());
    if (rest.empty()) return text;
    unsigned port = 0;
    std::from_chars(rest.data() + 1, rest.data() + rest.size(), port);
    const unsigned usual = scheme == "http" || scheme == "ws" ? 80 : scheme == "https" || scheme == "wss" ? 443
                         : scheme == "ftp"                    ? 21
                                                              : 0;
    return port == usual ? text : text + ":" + std::to_string(port);
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
