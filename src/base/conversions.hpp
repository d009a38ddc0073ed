// The module's two text-to-number conversions, locale-free apart from the separator given.
#pragma once

#include <cstdint>
#include <string_view>

namespace Wsr37100 {

// Optional blanks, optional sign, digits with exactly one separator (digits on
// at least one side), optional blanks. No exponent, hex, "inf" or "nan".
// Throws Falha quoting the text when it is anything else or out of range.
double decimal_conversion(std::string_view text, char separator);

// Optional blanks, optional sign, digits, optional blanks; within int32.
// Throws Falha quoting the text otherwise.
std::int32_t whole_number_conversion(std::string_view text);

}  // namespace Wsr37100
