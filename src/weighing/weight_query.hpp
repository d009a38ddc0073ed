// One reading of the scale from start to end: the body of BuscaPeso.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

#include "log/daily_log.hpp"
#include "link/interrupt.hpp"
#include "link/link.hpp"
#include "weighing/query_report.hpp"

namespace Wsr37100 {

inline constexpr int kMaxPolls = 5;

// Waiting for the scale to settle. A zero time is one reading, as BuscaPeso.
struct StableWait {
    std::chrono::milliseconds within{0};
    // Equal consecutive weights needed before one is taken (0 or 1: the first
    // weight the scale gives, trusting its own judgement).
    unsigned equal_readings = 0;
};

// Logs the port, opens and configures it, polls up to five times until a 7-
// or 8-byte reply comes, decodes it, closes the port and returns the weight
// result: kilograms, -1/-2/-10 for a status, 0 when no reading could be had.
// With a stable wait the port stays open and readings follow one another
// until one is settled (a weight, after `equal_readings` equal ones; or an
// N or S status), the wait runs out (the last answer stands), or a reading
// finds no answer at all.
// Throws Falha when the log cannot be written outside a decoder's failure
// scope or the baud text is not a whole number; the port is closed by then.
// Thread safe: everything it uses is its own.
double weight_query(std::string_view sPorta, std::string_view sVelocidade, const DailyLog& log, LinkOptions link,
                    QueryReport& report, StableWait wait = {});

// How read_reply treats a reply that does not start with STX. A call decodes
// it as it is. Polling without end, a monitor takes it for a shifted read (the
// tail of an earlier reply, then the head of this one) that would shift every
// later reply as well: it waits for the line to go quiet and polls again.
enum class Leftovers { Keep, Resync };

// One reading on a port that is open: up to five polls until a 7- or 8-byte
// reply, decoded (the decoders log through `log`). Adds its polls to the
// report's and sets the rest of it. A raised interrupt ends it as a failed poll.
void read_reply(Link& port, const DailyLog& log, QueryReport& report, const Interrupt* interrupt = nullptr,
                Leftovers leftovers = Leftovers::Keep);

}  // namespace Wsr37100
