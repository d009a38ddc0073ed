// libFuzzer target over a request target as the service's routes read it:
// path and query apart, path segments, percent escapes, query values, milliseconds.
// Input: the request target.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "query.hpp"

namespace {

using namespace Wsr37100::service;

void check(bool condition) {
    if (!condition) std::abort();
}

// Every byte as %XX: what any decoder must turn back into the same bytes.
std::string escaped(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
    return out;
}

void check_milliseconds(const std::string& text) {
    const auto value = milliseconds(text);
    const auto first = text.find_first_not_of('0');
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) {
        check(!value);
        return;
    }
    const std::string significant = first == std::string::npos ? "0" : text.substr(first);
    const bool in_range = significant.size() <= 5 && std::stoul(significant) <= kMaxWaitMs;
    check(value.has_value() == in_range);
    if (value) check(std::to_string(*value) == significant);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const Target target = split_target(text);
    check(target.path.find('?') == std::string_view::npos);
    const bool asked = target.path.size() < text.size();
    check(std::string(target.path) + (asked ? "?" + std::string(target.query) : "") == text);

    std::string joined;
    for (const std::string_view segment : path_segments(target.path)) {
        check(segment.find('/') == std::string_view::npos);
        joined += std::string(segment) + "/";
    }
    joined.pop_back();
    check(joined == target.path.substr(target.path.empty() ? 0 : 1));

    if (const auto decoded = percent_decoded(text)) {
        check(decoded->size() <= text.size());
        check(percent_decoded(escaped(*decoded)) == decoded);
        if (text.find_first_of("%+") == std::string_view::npos) check(*decoded == text);
    } else {
        check(text.find('%') != std::string_view::npos);
    }

    if (const auto values = parse_query(target.query)) {
        std::string again;
        for (const auto& [key, value] : *values) {
            again += (again.empty() ? "" : "&") + escaped(key) + "=" + escaped(value);
            check_milliseconds(value);
        }
        check(parse_query(again) == values);
    }
    check_milliseconds(std::string(text));
    return 0;
}
