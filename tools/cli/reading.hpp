// How the command-line tool shows one reading: a text line or a JSON object, and its exit status.
#pragma once

#include <string>

#include "wsr37100.h"

namespace Wsr37100::cli {

// Exit statuses of `wsr37100 weigh`.
inline constexpr int kExitWeight = 0;
inline constexpr int kExitStatus = 2;
inline constexpr int kExitNoReading = 3;
inline constexpr int kExitFailure = 4;
inline constexpr int kExitUsage = 64;

int exit_status(const WsrLeitura& reading);
// "12.345 kg", "-2.000 status N", "0.000 no reading (...)", "failure: ..."
std::string describe(const WsrLeitura& reading);
// One JSON object on one line.
std::string to_json(const WsrLeitura& reading);
// The reply's bytes in hex, "02 31 2E ...".
std::string reply_hex(const WsrLeitura& reading);
// Windows-1252 text (the module's) as UTF-8 for a terminal.
std::string to_utf8(const std::string& cp1252);

}  // namespace Wsr37100::cli
