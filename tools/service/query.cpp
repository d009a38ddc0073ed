// The request target's path and query, as the routes read them.
#include "query.hpp"

#include <charconv>

namespace Wsr37100::service {

Target split_target(std::string_view target) {
    const auto question = target.find('?');
    if (question == std::string_view::npos) return {target, {}};
    return {target.substr(0, question), target.substr(question + 1)};
}

std::vector<std::string_view> path_segments(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::string_view rest = path.substr(path.empty() ? 0 : 1);;) {
        const auto slash = rest.find('/');
        parts.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) break;
        rest = rest.substr(slash + 1);
    }
    return parts;
}

std::optional<std::string> percent_decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            unsigned value = 0;
            if (i + 2 >= text.size()) return std::nullopt;
            const auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
            if (error != std::errc() || end != text.data() + i + 3) return std::nullopt;
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::map<std::string, std::string>> parse_query(std::string_view query) {
    std::map<std::string, std::string> values;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        auto key = percent_decoded(pair.substr(0, equals));
        auto value = percent_decoded(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!key || !value || !values.emplace(std::move(*key), std::move(*value)).second) return std::nullopt;
    }
    return values;
}

std::optional<unsigned> milliseconds(const std::string& text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > kMaxWaitMs) return std::nullopt;
    return value;
}

}  // namespace Wsr37100::service
