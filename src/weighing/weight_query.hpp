// One reading of the scale from start to end: the body of BuscaPeso.
#pragma once

#include <cstddef>
#include <string_view>

#include "log/daily_log.hpp"
#include "serial/serial_port.hpp"

namespace Wsr37100 {

inline constexpr int kMaxPolls = 5;

enum class Outcome { Weight, Status, NoReading, Failure };
enum class NoReadingReason { None, PortUnavailable, PollFailed, Silence, PartialReplies };

// How far a query got; filled as it goes, so it is still right when the query raises.
struct QueryReport {
    Outcome outcome = Outcome::NoReading;
    NoReadingReason reason = NoReadingReason::None;
    double weight = 0;
    int polls = 0;
    std::size_t reply_size = 0;
    ReceiveBuffer reply{};
    PortUnavailable port_failure;  // with NoReadingReason::PortUnavailable
};

// Logs the port, opens and configures it, polls up to five times until a 7-
// or 8-byte reply comes, decodes it, closes the port and returns the weight
// result: kilograms, -1/-2/-10 for a status, 0 when no reading could be had.
// Throws Falha when the log cannot be written outside a decoder's failure
// scope or the baud text is not a whole number; the port is closed by then.
// Thread safe: everything it uses is its own.
double weight_query(std::string_view sPorta, std::string_view sVelocidade, const DailyLog& log, LinkOptions link,
                    QueryReport& report);

}  // namespace Wsr37100
