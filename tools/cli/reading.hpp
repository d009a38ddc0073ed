// How the command-line tool shows one reading: a text line or a JSON object, and its exit status.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "wsr37100.h"

namespace Wsr37100::cli {

// Exit statuses of the tool.
inline constexpr int kExitWeight = 0;
inline constexpr int kExitStatus = 2;
inline constexpr int kExitNoReading = 3;
inline constexpr int kExitFailure = 4;
inline constexpr int kExitUsage = 64;         // sysexits' EX_USAGE
inline constexpr int kExitCannotCreate = 73;  // sysexits' EX_CANTCREAT
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports Ctrl-C

int exit_status(const WsrLeitura& reading);

// The result line: "12.345 kg", "-2.000 status N: negative, below zero",
// "-1.000 unreadable reply: not a weight", "0.000 no reading: silence, ...";
// empty for a failure, which has no result.
std::string describe(const WsrLeitura& reading);
// The module's message (Portuguese) as UTF-8, for a line of its own on stderr; "" when none.
std::string message_utf8(const WsrLeitura& reading);
// The reading as one JSON object; `time` is its ISO 8601 timestamp.
nlohmann::ordered_json to_json(const WsrLeitura& reading, const std::string& time);
// The reply's bytes in hex, "02 31 2E ...".
std::string reply_hex(const WsrLeitura& reading);
// Windows-1252 text (the module's) as UTF-8 for a terminal or JSON.
std::string to_utf8(const std::string& cp1252);

}  // namespace Wsr37100::cli
