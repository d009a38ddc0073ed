// Builds the daily log's path and line, and hands the line to the platform in one write.
#include "log/daily_log.hpp"

#include <cstdio>

#include "log/regional.hpp"

namespace Wsr37100 {

namespace {
constexpr std::string_view kLogFolder = "dados";
constexpr std::string_view kSeparator = " - ";
constexpr std::string_view kLineEnd = "\r\n";
}  // namespace

// The folder is found once per log object, that is once per call of the module.
DailyLog DailyLog::beside_host() { return DailyLog(Where::Folder, join_path(host_executable_folder(), kLogFolder)); }
DailyLog DailyLog::in_folder(std::string folder) { return DailyLog(Where::Folder, std::move(folder)); }
DailyLog DailyLog::disabled() { return DailyLog(Where::Nowhere, {}); }

DailyLog DailyLog::with_clock(Clock clock) const {
    DailyLog copy = *this;
    copy.clock_ = clock;
    return copy;
}

std::string log_file_name(const std::tm& local) {
    char name[32];
    std::snprintf(name, sizeof name, "logWSR37100_%02d%02d.txt", local.tm_mday, local.tm_mon + 1);
    return name;
}

std::string DailyLog::current_file() const {
    if (where_ == Where::Nowhere) return {};
    const std::tm local = local_time(std::chrono::system_clock::to_time_t(clock_()));
    return join_path(folder_, log_file_name(local));
}

void DailyLog::GravaLog(std::string_view message) const {
    if (where_ == Where::Nowhere) return;
    // One moment for both the file name and the line, so a line written at
    // midnight carries the date of the file it is in.
    const std::tm local = local_time(std::chrono::system_clock::to_time_t(clock_()));
    std::string line = date_time_text(local);
    line.reserve(line.size() + kSeparator.size() + message.size() + kLineEnd.size());
    line += kSeparator;
    line += message;
    line += kLineEnd;
    append_to_file(join_path(folder_, log_file_name(local)), line, patience_);
}

}  // namespace Wsr37100
