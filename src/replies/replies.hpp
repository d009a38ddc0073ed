// Decoding the scale's 7-byte and 8-byte replies into a weight result.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "log/daily_log.hpp"

namespace Wsr37100 {

inline constexpr unsigned char kStx = 0x02;
inline constexpr unsigned char kEtx = 0x03;

inline constexpr double kStatusI = -1;
inline constexpr double kStatusN = -2;
inline constexpr double kStatusS = -10;

// The received bytes as text, up to (not including) the first zero byte and
// never past the bytes received.
std::string reply_text(std::span<const unsigned char> received);

// The status value for the first character of a text that is not a number:
// "I" -1, "N" -2, "S" -10, anything else (or nothing) -1.
double status_for(std::string_view text);
// The status letter a text starts with ('I', 'N', 'S'), or 0.
char status_letter(std::string_view text);

// A weight result and whether it came from a status letter or an unreadable
// text (the decoder's failure scope) rather than from a number.
struct Decoded {
    double weight = 0;
    bool status = false;
    char letter = 0;  // with a status: 'I', 'N' or 'S' when a letter gave it, 0 for an unreadable text
};

// Fixed frame: a leading byte, five characters (kilograms with three implied
// decimals), a trailing byte. Logs "Valor de R = ". Never throws for a bad
// reply; throws Falha only when a log line outside its failure scope fails
// (it has none).
double TrataResposta7(std::span<const unsigned char> received, const DailyLog& log, char separator);
Decoded decode_fixed_frame(std::span<const unsigned char> received, const DailyLog& log, char separator);

// Delimited frame: the text between the last STX and the next ETX. Logs each
// step; a failed conversion becomes a status value. Throws Falha when a log
// line outside its failure scope cannot be written.
double TrataResposta8(std::span<const unsigned char> received, const DailyLog& log, char separator);
Decoded decode_delimited_frame(std::span<const unsigned char> received, const DailyLog& log, char separator);

// 1-based position of the last occurrence of pattern in s, or 0.
int UltimaPos(std::string_view pattern, std::string_view s);
// 1-based position of the first occurrence of pattern in s at or after start, or 0.
int PosDesde(std::string_view pattern, std::string_view s, int start);

}  // namespace Wsr37100
