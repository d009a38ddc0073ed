// What one reading of the scale came to, as far as it got.
#pragma once

#include <cstddef>

#include "link/link.hpp"

namespace Wsr37100 {

enum class Outcome { Weight, Status, NoReading, Failure };
enum class NoReadingReason { None, PortUnavailable, PollFailed, Silence, PartialReplies };

// How far a query got; filled as it goes, so it is still right when the query raises.
struct QueryReport {
    Outcome outcome = Outcome::NoReading;
    NoReadingReason reason = NoReadingReason::None;
    double weight = 0;
    char letter = 0;  // with a status: the letter that gave it ('I', 'N', 'S'), 0 for an unreadable reply
    int polls = 0;    // polls sent by the whole call
    std::size_t reply_size = 0;
    ReceiveBuffer reply{};
    PortUnavailable port_failure;  // with PortUnavailable; with PollFailed when the link knows why (dropped)
    bool settled = false;          // with a stable wait: it ended on a settled answer, not by time

    bool unstable() const { return outcome == Outcome::Status && letter == 'I'; }
};

}  // namespace Wsr37100
