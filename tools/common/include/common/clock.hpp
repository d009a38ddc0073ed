// Timestamps of the tool's watched readings and of the service's answers.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace Wsr37100::common {

// Local time of `moment` in ISO 8601 with milliseconds and the offset from UTC:
// "2026-07-12T10:15:02.123-03:00".
std::string timestamp(std::chrono::system_clock::time_point moment);

// The broken-down local time of `moment` and its offset from UTC in minutes.
struct LocalTime {
    std::tm fields{};
    long offset_minutes = 0;
};
LocalTime local_time(std::time_t moment);

}  // namespace Wsr37100::common
