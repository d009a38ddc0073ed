// Local time on POSIX: localtime_r and the zone's offset it reports.
#include "common/clock.hpp"

namespace Wsr37100::common {

LocalTime local_time(std::time_t moment) {
    LocalTime local;
    ::localtime_r(&moment, &local.fields);
    local.offset_minutes = local.fields.tm_gmtoff / 60;
    return local;
}

}  // namespace Wsr37100::common
