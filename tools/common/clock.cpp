// ISO 8601 timestamps, the same on every platform and in every locale.
#include "common/clock.hpp"

#include <cstdio>
#include <cstdlib>

namespace Wsr37100::common {

std::string timestamp(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count() % 1000;
    const LocalTime local = local_time(system_clock::to_time_t(moment));
    const long offset = std::labs(local.offset_minutes);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.fields.tm_year + 1900,
                  local.fields.tm_mon + 1, local.fields.tm_mday, local.fields.tm_hour, local.fields.tm_min,
                  local.fields.tm_sec, static_cast<int>(milliseconds), local.offset_minutes < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return text;
}

}  // namespace Wsr37100::common
