// A request target's parts: its path split at '/', its query decoded into names and values.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Wsr37100::service {

// The longest wait a client may ask for, in milliseconds.
inline constexpr unsigned kMaxWaitMs = 60000;

struct Target {
    std::string_view path;   // up to the first '?'
    std::string_view query;  // after it; empty when there is none
};
Target split_target(std::string_view target);

// "/v1/scales/a" -> {"v1", "scales", "a"}; "/" -> {""}; an empty path -> {""}.
// Empty segments are kept ("/v1//a" -> {"v1", "", "a"}).
std::vector<std::string_view> path_segments(std::string_view path);

// '+' is a space and %XX a byte; nullopt for a '%' without two hexadecimal digits.
std::optional<std::string> percent_decoded(std::string_view text);

// The query as a map; nullopt for a repeated key or a bad escape. Empty pairs ("a=1&&b=2") are skipped.
std::optional<std::map<std::string, std::string>> parse_query(std::string_view query);

// Milliseconds from 0 to kMaxWaitMs; nullopt when it is anything else.
std::optional<unsigned> milliseconds(const std::string& text);

}  // namespace Wsr37100::service
