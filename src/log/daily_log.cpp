// Builds the daily log's path and line, hands the line to the platform in one write, and bounds the day.
#include "log/daily_log.hpp"

#include <cstdio>
#include <optional>
#include <thread>

#include "wsr37100_falha.hpp"
#include "base/quoted.hpp"
#include "log/regional.hpp"

namespace Wsr37100 {

namespace {
constexpr std::string_view kLogFolder = "dados";
constexpr std::string_view kSeparator = " - ";
constexpr std::string_view kLineEnd = "\r\n";

// The closing line of a full day: its count, ten digits, is the line's end,
// so it is found and updated in place from the end of the file.
constexpr std::string_view kDroppedLead = ": linhas n\xE3o registradas: ";
constexpr std::size_t kCountDigits = 10;
// How often a writer that waits its turn looks again.
constexpr std::chrono::milliseconds kTurnRetry{5};
// After a wait that ran out, a writer still lets another finish its line.
constexpr std::chrono::milliseconds kImpatientWait{50};

std::string count_text(std::uint64_t count) {
    char digits[kCountDigits + 1];
    std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(count));
    return digits;
}

// The count of a closing line at the end of `tail`, if it ends with one.
std::optional<std::uint64_t> dropped_so_far(std::string_view tail) {
    const std::size_t ending = kDroppedLead.size() + kCountDigits + kLineEnd.size();
    if (tail.size() < ending || !tail.ends_with(kLineEnd)) return std::nullopt;
    const std::string_view lead = tail.substr(tail.size() - ending, kDroppedLead.size());
    const std::string_view digits = tail.substr(tail.size() - kCountDigits - kLineEnd.size(), kCountDigits);
    if (lead != kDroppedLead) return std::nullopt;
    std::uint64_t count = 0;
    for (char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        count = count * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    return count;
}

// Waits for the writer's turn at the file, at most kLockPatience (only as long
// as a line takes after a wait that ran out, until a turn is had again), and
// never past a stop.
void take_turn(AppendFile& file, const std::string& path, LockPatience& patience, const std::stop_token& stop) {
    const auto give_up = std::chrono::steady_clock::now() +
                         (patience.patient() ? kLockPatience : kImpatientWait);
    while (!file.try_turn()) {
        if (stop.stop_requested() || std::chrono::steady_clock::now() >= give_up) {
            patience.set(false);
            throw Falha("Falha ao gravar no arquivo de log " + quoted(path) +
                        ": bloqueado por outro programa por mais de " + std::to_string(kLockPatience.count()) +
                        " ms");
        }
        std::this_thread::sleep_for(kTurnRetry);
    }
    patience.set(true);
}
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

DailyLog DailyLog::stopped_by(std::stop_token stop) const {
    DailyLog copy = *this;
    copy.stop_ = std::move(stop);
    return copy;
}

DailyLog DailyLog::with_day_limit(std::uint64_t bytes) const {
    DailyLog copy = *this;
    copy.day_limit_ = bytes;
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
    const std::string path = join_path(folder_, log_file_name(local));
    AppendFile file(path);
    // With a bound, the size is read and the line written (or counted) by one
    // writer at a time: two writers that both found room would pass the bound.
    if (day_limit_ != 0 || AppendFile::every_line_takes_a_turn()) take_turn(file, path, patience_, stop_);
    if (day_limit_ == 0 || file.size() + line.size() <= day_limit_) {
        file.append(line);
    } else {
        // The day is full: this line is dropped and counted, so whoever reads the
        // file learns that it stops short and by how much.
        const std::size_t ending = kDroppedLead.size() + kCountDigits + kLineEnd.size();
        if (const auto dropped = dropped_so_far(file.tail(ending))) {
            file.replace_tail(count_text(*dropped + 1) + std::string(kLineEnd));
        } else {
            file.append(date_time_text(local) + std::string(kSeparator) + "limite de " + std::to_string(day_limit_) +
                        " bytes do log do dia atingido" + std::string(kDroppedLead) + count_text(1) +
                        std::string(kLineEnd));
        }
    }
    file.close();
}

}  // namespace Wsr37100
