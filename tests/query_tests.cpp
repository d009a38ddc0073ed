// A request target as the service's routes read it: path segments, query values, milliseconds.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "query.hpp"

namespace Wsr37100::service {
namespace {

using Values = std::map<std::string, std::string>;

TEST(Query, TargetAndSegments) {
    const struct {
        const char* target;
        const char* path;
        const char* query;
        std::vector<std::string_view> segments;
    } cases[] = {
        {"/", "/", "", {""}},
        {"", "", "", {""}},
        {"/health", "/health", "", {"health"}},
        {"/v1/scales/a/reading?stable_ms=500", "/v1/scales/a/reading", "stable_ms=500", {"v1", "scales", "a", "reading"}},
        {"/v1/scales/?", "/v1/scales/", "", {"v1", "scales", ""}},
        {"/v1//a", "/v1//a", "", {"v1", "", "a"}},
        {"/a?b?c", "/a", "b?c", {"a"}},
        {"?x=1", "", "x=1", {""}},
        {"//", "//", "", {"", ""}},
    };
    for (const auto& c : cases) {
        const Target target = split_target(c.target);
        EXPECT_EQ(target.path, c.path) << c.target;
        EXPECT_EQ(target.query, c.query) << c.target;
        EXPECT_EQ(path_segments(target.path), c.segments) << c.target;
    }
}

TEST(Query, PercentDecoding) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a+b", "a b"},
        {"%41%62c", "Abc"},
        {"%2b%2B", "++"},
        {"%00", std::string(1, '\0')},
        {"%ff", "\xFF"},
        {"100%25", "100%"},
        {"%", std::nullopt},
        {"%4", std::nullopt},
        {"a%", std::nullopt},
        {"%4g", std::nullopt},
        {"%g4", std::nullopt},
        {"%+1", std::nullopt},
        {"%-1", std::nullopt},
        {"% 1", std::nullopt},
    };
    for (const auto& [text, decoded] : cases) EXPECT_EQ(percent_decoded(text), decoded) << text;
}

TEST(Query, Parameters) {
    const std::pair<const char*, std::optional<Values>> cases[] = {
        {"", Values{}},
        {"a=1", Values{{"a", "1"}}},
        {"a=1&b=2", Values{{"a", "1"}, {"b", "2"}}},
        {"a", Values{{"a", ""}}},
        {"a=", Values{{"a", ""}}},
        {"=1", Values{{"", "1"}}},
        {"a=1&&b=2&", Values{{"a", "1"}, {"b", "2"}}},
        {"a=x=y", Values{{"a", "x=y"}}},
        {"access%5Ftoken=t%26k", Values{{"access_token", "t&k"}}},
        {"a=1&a=2", std::nullopt},
        {"a=1&%61=2", std::nullopt},  // the same key once decoded
        {"a=%zz", std::nullopt},
        {"%=1", std::nullopt},
    };
    for (const auto& [query, values] : cases) EXPECT_EQ(parse_query(query), values) << query;
}

TEST(Query, Milliseconds) {
    const std::pair<const char*, std::optional<unsigned>> cases[] = {
        {"0", 0u},
        {"500", 500u},
        {"60000", 60000u},
        {"0060000", 60000u},
        {"60001", std::nullopt},
        {"4294967296", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1.5", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(milliseconds(text), value) << text;
}

}  // namespace
}  // namespace Wsr37100::service
