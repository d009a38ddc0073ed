// The decimal and whole-number conversions: what they accept and how they fail.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "base/conversions.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {
namespace {

TEST(DecimalConversion, AcceptsAndRejects) {
    struct Case { std::string text; char separator; std::optional<double> value; };
    const Case cases[] = {
        {"01,234", ',', 1.234}, {"01.234", '.', 1.234}, {"12,345", ',', 12.345},
        {"  -1,5 ", ',', -1.5}, {"+2,0", ',', 2.0}, {",5", ',', 0.5}, {"5,", ',', 5.0},
        {"\t3,25\t", ',', 3.25}, {"00,000", ',', 0.0},
        {"1.5", ',', std::nullopt},  // the other separator
        {"15", ',', std::nullopt},   // no separator at all
        {",", ',', std::nullopt}, {"", ',', std::nullopt}, {"   ", ',', std::nullopt},
        {"1,2,3", ',', std::nullopt}, {"1e3,0", ',', std::nullopt}, {"1,0e3", ',', std::nullopt},
        {"inf", '.', std::nullopt}, {"nan", '.', std::nullopt}, {"0x1.8", '.', std::nullopt},
        {"--1,0", ',', std::nullopt}, {"- 1,0", ',', std::nullopt}, {"1 ,0", ',', std::nullopt},
        {"NN,NNN", ',', std::nullopt}, {"II.III", '.', std::nullopt},
        {std::string(400, '9') + ",0", ',', std::nullopt},  // beyond a double
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "' with '" + c.separator + "'");
        if (c.value) {
            EXPECT_EQ(decimal_conversion(c.text, c.separator), *c.value);
        } else {
            try {
                const double value = decimal_conversion(c.text, c.separator);
                ADD_FAILURE() << "accepted as " << value;
            } catch (const Falha& failure) {
                EXPECT_EQ(std::string(failure.what()), "'" + c.text + "' n\xE3o \xE9 um valor decimal v\xE1lido");
            }
        }
    }
}

TEST(WholeNumberConversion, AcceptsAndRejects) {
    struct Case { std::string text; std::optional<std::int32_t> value; };
    const Case cases[] = {
        {"9600", 9600}, {"012345", 12345}, {" 115200 ", 115200}, {"-5", -5}, {"+7", 7},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
        {"2147483648", std::nullopt}, {"-2147483649", std::nullopt}, {"99999999999999999999", std::nullopt},
        {"", std::nullopt}, {" ", std::nullopt}, {"96OO", std::nullopt}, {"9600bps", std::nullopt},
        {"1.5", std::nullopt}, {"0x10", std::nullopt}, {"+", std::nullopt}, {"--1", std::nullopt},
        {"SSSSSS", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        if (c.value) {
            EXPECT_EQ(whole_number_conversion(c.text), *c.value);
        } else {
            try {
                const auto value = whole_number_conversion(c.text);
                ADD_FAILURE() << "accepted as " << value;
            } catch (const Falha& failure) {
                EXPECT_EQ(std::string(failure.what()), "'" + c.text + "' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido");
            }
        }
    }
}

}  // namespace
}  // namespace Wsr37100
