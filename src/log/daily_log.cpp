// Builds the daily log's path and line, waits for the writer's turn, hands the line to the platform, and bounds the day.
#include "log/daily_log.hpp"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
// While a hold a wait ran out on goes on, a writer still lets another finish
// its line, and no more: a stuck lock costs one wait, not one per line.
constexpr std::chrono::milliseconds kImpatientWait{50};
// How long a hold a wait ran out on is taken to go on without a line seeing
// it again. Past that, or once any writer had a turn or wrote the file, the
// next hold is waited for with the whole patience again. Longer than the
// monitor's retry of a failed line (once a second), so that a stuck log costs
// it the short wait.
constexpr std::chrono::milliseconds kHoldRemembered{2 * kLockPatience};

using Steady = std::chrono::steady_clock;

[[noreturn]] void fail_held(const std::string& path) {
    throw Falha("Falha ao gravar no arquivo de log " + quoted(path) + ": bloqueado por outro programa por mais de " +
                std::to_string(kLockPatience.count()) + " ms");
}

// The writers of one log folder in this process. They take the file's turn
// one at a time, in the order they came (a lock's own waiters are served in
// no order, and one left behind for a second would be a failure), and share
// what is known of an outside hold: the impatience that follows one is the
// log's, not one writer's.
struct Turnstile {
    std::mutex lock;
    std::condition_variable_any moved;
    std::uint64_t next_ticket = 0;
    std::uint64_t serving = 0;
    std::set<std::uint64_t> left;  // tickets of writers that stopped waiting
    // The last time a wait found an outside hold still on, and the file then.
    std::optional<Steady::time_point> hold_seen;
    FileMark hold_mark;
    int users = 0;  // guarded by the registry's lock
};

std::mutex registry_lock;
std::map<std::string, std::shared_ptr<Turnstile>>& registry() {
    static std::map<std::string, std::shared_ptr<Turnstile>> turnstiles;
    return turnstiles;
}

std::shared_ptr<Turnstile> enter(const std::string& folder) {
    std::lock_guard guard(registry_lock);
    auto& turnstile = registry()[folder];
    if (!turnstile) turnstile = std::make_shared<Turnstile>();
    ++turnstile->users;
    return turnstile;
}

// A folder's turnstile goes once nobody uses it and it remembers no hold.
void leave(const std::string& folder, const std::shared_ptr<Turnstile>& turnstile) {
    std::lock_guard guard(registry_lock);
    if (--turnstile->users > 0) return;
    std::lock_guard state(turnstile->lock);
    if (!turnstile->hold_seen || Steady::now() - *turnstile->hold_seen >= kHoldRemembered) registry().erase(folder);
}

// One writer's turn at the day's file: first its place among this process's
// writers of the folder, then the file's own turn against other processes.
// Both are let go when the object ends, the file's first.
class Turn {
public:
    Turn(const std::string& folder, AppendFile& file, const std::string& path, const std::stop_token& stop)
        : folder_(folder), file_(file), turnstile_(enter(folder)) {
        try {
            wait_in_line(path, stop);
        } catch (...) {
            leave(folder_, turnstile_);
            throw;
        }
        try {
            take_file(path, stop);
        } catch (...) {
            file_.release_turn();
            next();
            leave(folder_, turnstile_);
            throw;
        }
    }
    ~Turn() {
        file_.release_turn();
        next();
        leave(folder_, turnstile_);
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    void wait_in_line(const std::string& path, const std::stop_token& stop) {
        Turnstile& t = *turnstile_;
        std::unique_lock guard(t.lock);
        const std::uint64_t ticket = t.next_ticket++;
        if (!t.moved.wait(guard, stop, [&] { return t.serving == ticket; })) {
            t.left.insert(ticket);
            fail_held(path);
        }
    }

    // Waits for the file's turn until nobody has had it (nor written the
    // file) for the patience: the short one while a hold a wait ran out on
    // is still taken to go on.
    void take_file(const std::string& path, const std::stop_token& stop) {
        Turnstile& t = *turnstile_;
        FileMark mark = file_.mark();
        auto still_since = Steady::now();
        bool impatient;
        {
            std::lock_guard guard(t.lock);
            impatient = t.hold_seen && still_since - *t.hold_seen < kHoldRemembered && t.hold_mark == mark;
        }
        const auto patience = impatient ? kImpatientWait : kLockPatience;
        while (!file_.try_turn()) {
            const auto now = Steady::now();
            if (const FileMark seen = file_.mark(); !(seen == mark)) {
                mark = seen;  // another writer had the turn: it moves, nobody holds it
                still_since = now;
            }
            if (stop.stop_requested()) fail_held(path);
            if (now - still_since >= patience) {
                std::lock_guard guard(t.lock);
                t.hold_seen = now;
                t.hold_mark = mark;
                fail_held(path);
            }
            std::this_thread::sleep_for(kTurnRetry);
        }
        std::lock_guard guard(t.lock);
        t.hold_seen.reset();
    }

    // The next writer of this process in line, skipping those that stopped.
    void next() {
        Turnstile& t = *turnstile_;
        {
            std::lock_guard guard(t.lock);
            ++t.serving;
            while (t.left.erase(t.serving) > 0) ++t.serving;
        }
        t.moved.notify_all();
    }

    std::string folder_;
    AppendFile& file_;
    std::shared_ptr<Turnstile> turnstile_;
};

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

int DailyLog::writers_in_line() const {
    std::lock_guard guard(registry_lock);
    const auto found = registry().find(folder_);
    return found == registry().end() ? 0 : found->second->users;
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

std::uint64_t DailyLog::dropped_today() const {
    if (where_ == Where::Nowhere) return 0;
    const auto end = read_file_end(current_file(), kDroppedLead.size() + kCountDigits + kLineEnd.size());
    if (!end) return 0;
    return dropped_so_far(*end).value_or(0);
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
    // Every line is written (or counted) by one writer at a time: two writers
    // that both found room would pass the bound, and only a writer alone at
    // the file's end can cut back a line that did not fit.
    const Turn turn(folder_, file, path, stop_);
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
