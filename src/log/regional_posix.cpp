// Regional settings on POSIX: the C locale the host chose with setlocale.
#include <langinfo.h>
#include <locale.h>

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

// The calling thread's locale (uselocale), else the process's (setlocale).
// localeconv() would be simpler but fills one static record for all threads.
char decimal_separator() {
    const locale_t current = ::uselocale(static_cast<locale_t>(0));
    const char* point = current == LC_GLOBAL_LOCALE ? ::nl_langinfo(RADIXCHAR) : ::nl_langinfo_l(RADIXCHAR, current);
    return (point != nullptr && point[0] != '\0') ? point[0] : '.';
}

}  // namespace Wsr37100
