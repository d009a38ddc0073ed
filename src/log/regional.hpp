// The host's regional settings, read at each use and never stored.
#pragma once

#include <ctime>
#include <string>

namespace Wsr37100 {

std::tm local_time(std::time_t when);
// The regional short date, a blank, and the regional long time.
std::string date_time_text(const std::tm& local);
// The process decimal separator as the host has it now.
char decimal_separator();

}  // namespace Wsr37100
