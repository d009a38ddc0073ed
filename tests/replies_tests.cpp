// Reply decoding: fixed and delimited frames with both separators, their log lines, and the searches.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "replies/replies.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {
namespace {

namespace fs = std::filesystem;
using testing::log_messages_in;
using testing::TempFolder;
using Lines = std::vector<std::string>;

std::vector<unsigned char> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A frame made of STX, the text and ETX.
std::string framed(std::string_view text) { return "\x02" + std::string(text) + "\x03"; }

struct FixedCase {
    const char* name;
    std::string reply;  // exactly 7 bytes
    char separator;
    double weight;
    std::string r;  // the text logged as "Valor de R = "
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.name; }

class FixedFrame : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedFrame, DecodesAndLogsR) {
    const FixedCase& c = GetParam();
    ASSERT_EQ(c.reply.size(), 7u);
    TempFolder folder;
    const auto reply = bytes(c.reply);
    EXPECT_EQ(TrataResposta7(reply, DailyLog::in_folder(folder.str()), c.separator), c.weight);
    EXPECT_EQ(log_messages_in(folder.path()), Lines{"Valor de R = " + c.r});
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FixedFrame,
    ::testing::Values(
        FixedCase{"digits_comma", framed("01234"), ',', 1.234, "01,234"},
        FixedCase{"digits_point", framed("01234"), '.', 1.234, "01.234"},
        FixedCase{"top_of_range", framed("99999"), ',', 99.999, "99,999"},
        FixedCase{"outer_bytes_ignored", "A12345Z", '.', 12.345, "12.345"},
        FixedCase{"zero_weight", framed("00000"), ',', 0.0, "00,000"},
        FixedCase{"status_I", framed("IIIII"), ',', -1, "II,III"},
        FixedCase{"status_N", framed("NNNNN"), '.', -2, "NN.NNN"},
        FixedCase{"status_S", framed("SSSSS"), ',', -10, "SS,SSS"},
        FixedCase{"lower_case_is_no_status", framed("nnnnn"), ',', -1, "nn,nnn"},
        FixedCase{"second_byte_zero", std::string("\x02\0""1234\x03", 7), ',', -1, ","},
        FixedCase{"zero_after_one_char", std::string("\x02" "1\0""234\x03", 7), '.', 1.0, "1."},
        FixedCase{"point_in_digits_with_point_separator", framed("1.234"), '.', -1, "1..234"},
        FixedCase{"blanks_allowed_around", framed(" 1234"), ',', 1.234, " 1,234"},
        FixedCase{"sign", framed("-1234"), ',', -1.234, "-1,234"},
        FixedCase{"signs_only", framed("+-+-+"), ',', -1, "+-,+-+"}),
    [](const auto& test) { return std::string(test.param.name); });

struct DelimitedCase {
    const char* name;
    std::string reply;  // exactly 8 bytes
    char separator;
    double weight;
    Lines tail;  // the lines after "actRead = 8" and "Valor de buffer = ..."
};

void PrintTo(const DelimitedCase& c, std::ostream* os) { *os << c.name; }

class DelimitedFrame : public ::testing::TestWithParam<DelimitedCase> {};

TEST_P(DelimitedFrame, DecodesAndLogsEveryStep) {
    const DelimitedCase& c = GetParam();
    ASSERT_EQ(c.reply.size(), 8u);
    TempFolder folder;
    const auto reply = bytes(c.reply);
    EXPECT_EQ(TrataResposta8(reply, DailyLog::in_folder(folder.str()), c.separator), c.weight);
    Lines expected{"actRead = 8", "Valor de buffer = " + reply_text(reply)};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(log_messages_in(folder.path()), expected);
}

const std::string kElse = " except Op\xE7\xE3o else = -1";

INSTANTIATE_TEST_SUITE_P(
    Replies, DelimitedFrame,
    ::testing::Values(
        DelimitedCase{"kilograms_point_to_comma", framed(" 1.234"), ',', 1.234,
                      {"Valor de sResp = 1.234", "Ajustando o separador decimal: 1,234"}},
        DelimitedCase{"kilograms_comma_to_point", framed("01,500"), '.', 1.5,
                      {"Valor de sResp = 01,500", "Ajustando o separador decimal: 01.500"}},
        DelimitedCase{"grams_without_separator", framed("012345"), ',', 12.345,
                      {"Valor de sResp = 012345", "Ajustando o separador decimal: 012345"}},
        DelimitedCase{"grams_point_separator", framed("000500"), '.', 0.5,
                      {"Valor de sResp = 000500", "Ajustando o separador decimal: 000500"}},
        DelimitedCase{"zero", framed("000000"), ',', 0.0,
                      {"Valor de sResp = 000000", "Ajustando o separador decimal: 000000"}},
        DelimitedCase{"no_closing_etx", "4\x03\x02" "01234", ',', 1.234,
                      {"Valor de sResp = 01234", "Ajustando o separador decimal: 01234"}},
        DelimitedCase{"two_stx_last_counts", "\x02" "99\x02" "1.5\x03", ',', 1.5,
                      {"Valor de sResp = 1.5", "Ajustando o separador decimal: 1,5"}},
        DelimitedCase{"no_stx_at_all", "  7,25\x03 ", '.', 7.25,
                      {"Valor de sResp = 7,25", "Ajustando o separador decimal: 7.25"}},
        DelimitedCase{"status_I", framed("IIIIII"), ',', -1,
                      {"Valor de sResp = IIIIII", "Except erro: 'IIIIII' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido"}},
        DelimitedCase{"status_N_after_blanks", framed("  N   "), '.', -2,
                      {"Valor de sResp = N", "Except erro: 'N' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido"}},
        DelimitedCase{"status_S", framed("SSSSSS"), ',', -10,
                      {"Valor de sResp = SSSSSS", "Except erro: 'SSSSSS' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido"}},
        DelimitedCase{"lower_case_letter", framed("nnnnnn"), ',', -1,
                      {"Valor de sResp = nnnnnn", "Except erro: 'nnnnnn' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido",
                       kElse}},
        DelimitedCase{"two_separators", framed("1.2.34"), ',', -1,
                      {"Valor de sResp = 1.2.34", "Except erro: '1,2,34' n\xE3o \xE9 um valor decimal v\xE1lido", kElse}},
        DelimitedCase{"separator_alone", framed("   .  "), '.', -1,
                      {"Valor de sResp = .", "Except erro: '.' n\xE3o \xE9 um valor decimal v\xE1lido", kElse}},
        DelimitedCase{"empty_between_stx_etx", "\x02\x03" "123456", ',', -1,
                      {"Valor de sResp = ", "Except erro: '' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido", kElse}},
        DelimitedCase{"first_byte_zero", std::string("\0" "1234567", 8), ',', -1,
                      {"Valor de sResp = ", "Except erro: '' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido", kElse}},
        DelimitedCase{"zero_ends_text_early", std::string("\x02" "12\0" "4567", 8), ',', 0.012,
                      {"Valor de sResp = 12", "Ajustando o separador decimal: 12"}},
        DelimitedCase{"six_digits_of_grams", framed("999999"), ',', 999.999,
                      {"Valor de sResp = 999999", "Ajustando o separador decimal: 999999"}},
        DelimitedCase{"control_bytes_trimmed", "\x02\x01\x7f" "25\x1f\r\x03", ',', -1,
                      {"Valor de sResp = \x7f" "25", "Except erro: '\x7f" "25' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido",
                       kElse}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(DelimitedFrame, LogFailureOutsideTheScopeLeavesTheDecoder) {
    TempFolder base;
    const auto reply = bytes(framed("012345"));
    EXPECT_THROW(TrataResposta8(reply, DailyLog::in_folder((base.path() / "dados").string()), ','), Falha);
}

TEST(FixedFrame, LogFailureInsideTheScopeBecomesAStatus) {
    TempFolder base;
    const auto reply = bytes(framed("01234"));
    EXPECT_EQ(TrataResposta7(reply, DailyLog::in_folder((base.path() / "dados").string()), ','), -1);
    const auto status_reply = bytes(framed("NNNNN"));
    EXPECT_EQ(TrataResposta7(status_reply, DailyLog::in_folder((base.path() / "dados").string()), ','), -2);
}

TEST(ReplyText, StopsAtZeroAndNeverPassesTheBytesReceived) {
    const unsigned char buffer[8] = {'A', 'B', 'C', 0, 'D', 'E', 'F', 'G'};
    EXPECT_EQ(reply_text(std::span(buffer, 8)), "ABC");
    EXPECT_EQ(reply_text(std::span(buffer + 4, 4)), "DEFG");
    EXPECT_EQ(reply_text(std::span(buffer, 2)), "AB");
    EXPECT_EQ(reply_text(std::span(buffer, 0)), "");
}

TEST(TextSearch, UltimaPosAndPosDesde) {
    struct Case { const char* pattern; const char* s; int start; int pos_desde; int ultima_pos; };
    const Case cases[] = {
        {"a", "banana", 1, 2, 6},
        {"a", "banana", 3, 4, 6},
        {"a", "banana", 6, 6, 6},
        {"a", "banana", 7, 0, 6},
        {"a", "banana", 100, 0, 6},
        {"na", "banana", 4, 5, 5},
        {"x", "banana", 1, 0, 0},
        {"a", "", 1, 0, 0},
        {"abc", "ab", 2, 0, 0},
        {"\x02", "\x02" "1\x02" "2", 2, 3, 3},
        {"aa", "aaaa", 2, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " in " + c.s);
        EXPECT_EQ(PosDesde(c.pattern, c.s, c.start), c.pos_desde);
        EXPECT_EQ(UltimaPos(c.pattern, c.s), c.ultima_pos);
    }
}

}  // namespace
}  // namespace Wsr37100
