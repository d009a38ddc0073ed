// One reading as the tool prints it and as the service's HTTP API answers it: a text
// line or a JSON object, and the tool's exit status for it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "common/exit_codes.hpp"
#include "wsr37100.h"

namespace Wsr37100::common {

// kExitWeight, kExitStatus, kExitNoReading or kExitFailure, by the reading's kind.
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

}  // namespace Wsr37100::common
