// Strict decimal and whole-number conversions with Portuguese failure messages.
#include "base/conversions.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "wsr37100_falha.hpp"

namespace Wsr37100 {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view strip_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view digits_from(std::string_view& text) {
    size_t count = 0;
    while (count < text.size() && is_digit(text[count])) ++count;
    std::string_view digits = text.substr(0, count);
    text.remove_prefix(count);
    return digits;
}

// A number's text without its surrounding blanks and its sign.
struct Unsigned {
    bool negative = false;
    std::string_view rest;
};

Unsigned unsigned_part(std::string_view text) {
    Unsigned part{false, strip_blanks(text)};
    if (!part.rest.empty() && (part.rest.front() == '+' || part.rest.front() == '-')) {
        part.negative = part.rest.front() == '-';
        part.rest.remove_prefix(1);
    }
    return part;
}

[[noreturn]] void not_decimal(std::string_view text) {
    throw Falha("'" + std::string(text) + "' n\xE3o \xE9 um valor decimal v\xE1lido");
}

[[noreturn]] void not_whole(std::string_view text) {
    throw Falha("'" + std::string(text) + "' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido");
}

}  // namespace

double decimal_conversion(std::string_view text, char separator) {
    auto [negative, rest] = unsigned_part(text);
    std::string_view whole = digits_from(rest);
    if (rest.empty() || rest.front() != separator) not_decimal(text);
    rest.remove_prefix(1);
    std::string_view fraction = digits_from(rest);
    if (!rest.empty() || (whole.empty() && fraction.empty())) not_decimal(text);

    // Rebuilt in the one form from_chars reads, so the result is the double
    // nearest to the decimal text whatever the host's locale.
    std::string canonical;
    canonical.reserve(whole.size() + fraction.size() + 3);
    if (negative) canonical += '-';
    canonical += whole.empty() ? std::string_view("0") : whole;
    canonical += '.';
    canonical += fraction.empty() ? std::string_view("0") : fraction;
    double value = 0;
    auto [end, error] = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value,
                                        std::chars_format::fixed);
    if (error != std::errc() || end != canonical.data() + canonical.size() || !std::isfinite(value)) {
        not_decimal(text);
    }
    return value;
}

std::int32_t whole_number_conversion(std::string_view text) {
    auto [negative, rest] = unsigned_part(text);
    std::string_view digits = digits_from(rest);
    if (digits.empty() || !rest.empty()) not_whole(text);
    std::string signed_digits = (negative ? "-" : "") + std::string(digits);
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(signed_digits.data(), signed_digits.data() + signed_digits.size(), value);
    if (error != std::errc() || end != signed_digits.data() + signed_digits.size()) not_whole(text);
    return value;
}

}  // namespace Wsr37100
