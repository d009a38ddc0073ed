// Regional settings on POSIX: the C locale the host chose with setlocale.
#include <clocale>
#include <ctime>

#include "log/regional.hpp"

namespace Wsr37100 {

std::tm local_time(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    return local;
}

std::string date_time_text(const std::tm& local) {
    char text[128];
    size_t length = std::strftime(text, sizeof text, "%x %X", &local);
    return std::string(text, length);
}

char decimal_separator() {
    const char* point = std::localeconv()->decimal_point;
    return (point != nullptr && point[0] != '\0') ? point[0] : '.';
}

}  // namespace Wsr37100
