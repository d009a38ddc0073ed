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

// The result line: "12.345 kg" for a weight, the only one with a number; else what
// came instead: "status N: negative, below zero", "unreadable reply: not a weight,
// check the baud rate", "no reading: silence, ..."; empty for a failure.
std::string describe(const WsrLeitura& reading);
// The module's message (Portuguese) as UTF-8, for a line of its own on stderr; "" when none.
std::string message_utf8(const WsrLeitura& reading);
// The reading as one JSON object; `time` is its ISO 8601 timestamp, `weight` null
// for anything but a weight (the kind, status and reason tell what came).
nlohmann::ordered_json to_json(const WsrLeitura& reading, const std::string& time);
// The reply's bytes in hex, "02 31 2E ...".
std::string reply_hex(const WsrLeitura& reading);
// Windows-1252 text (the module's) as UTF-8 for a terminal or JSON.
std::string to_utf8(const std::string& cp1252);

}  // namespace Wsr37100::common
