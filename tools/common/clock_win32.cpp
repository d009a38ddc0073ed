// Local time on Windows: localtime_s and the time zone's bias.
#include <windows.h>

#include "common/clock.hpp"

namespace Wsr37100::common {

LocalTime local_time(std::time_t moment) {
    LocalTime local;
    ::localtime_s(&local.fields, &moment);
    TIME_ZONE_INFORMATION zone{};
    const DWORD which = ::GetTimeZoneInformation(&zone);
    const LONG bias = zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias);
    local.offset_minutes = -bias;
    return local;
}

}  // namespace Wsr37100::common
