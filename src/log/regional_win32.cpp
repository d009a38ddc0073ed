// Regional settings on Windows: the user's short date, long time and decimal separator.
#include <windows.h>

#include <ctime>

#include "log/regional.hpp"

namespace Wsr37100 {

std::tm local_time(std::time_t when) {
    std::tm local{};
    ::localtime_s(&local, &when);
    return local;
}

std::string date_time_text(const std::tm& local) {
    SYSTEMTIME moment{};
    moment.wYear = static_cast<WORD>(local.tm_year + 1900);
    moment.wMonth = static_cast<WORD>(local.tm_mon + 1);
    moment.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    moment.wDay = static_cast<WORD>(local.tm_mday);
    moment.wHour = static_cast<WORD>(local.tm_hour);
    moment.wMinute = static_cast<WORD>(local.tm_min);
    moment.wSecond = static_cast<WORD>(local.tm_sec);
    char date[96] = "";
    char time[96] = "";
    ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &moment, nullptr, date, sizeof date);
    ::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &moment, nullptr, time, sizeof time);
    return std::string(date) + " " + time;
}

char decimal_separator() {
    char separator[8] = "";
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) < 2) return '.';
    return separator[0];
}

}  // namespace Wsr37100
