// The daily diagnostic log: one line per event in "dados/logWSR37100_DDMM.txt".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace Wsr37100 {

using Clock = std::chrono::system_clock::time_point (*)();

// The most one day's file grows to unless a caller says otherwise: far more
// than a busy shop's day, far less than a disk.
inline constexpr std::uint64_t kDefaultDayLimit = std::uint64_t{64} << 20;

// How long a writer waits its turn at the day's file before the line fails:
// whoever holds the turn longer (a writer that died holding it on a network
// share, another user's program that locks what it reads) must not stall the
// weighing behind it.
inline constexpr std::chrono::milliseconds kLockPatience{1000};

// Whether a writer may still wait its turn at the file. Once a wait ran out,
// the later lines of the same log do not wait again until a turn is had: a
// stuck lock costs one wait, not one per line. Copyable, and safe to share
// between threads.
class LockPatience {
public:
    LockPatience() = default;
    LockPatience(const LockPatience& other) : patient_(other.patient()) {}
    LockPatience& operator=(const LockPatience& other) {
        patient_ = other.patient();
        return *this;
    }
    bool patient() const { return patient_.load(std::memory_order_relaxed); }
    void set(bool patient) { patient_.store(patient, std::memory_order_relaxed); }

private:
    std::atomic<bool> patient_{true};
};

// Where the lines of one call go. A value type: copying it copies a folder name,
// nothing is held open between lines.
class DailyLog {
public:
    // The folder "dados" beside the host executable. Throws Falha when the
    // host executable cannot be found.
    static DailyLog beside_host();
    // A folder chosen by the caller; it must exist, it is never created.
    static DailyLog in_folder(std::string folder);
    // No log at all: GravaLog writes nothing and never fails.
    static DailyLog disabled();

    // For tests that need the date to change (midnight).
    DailyLog with_clock(Clock clock) const;
    // A wait for the file's turn also ends (the line fails) once `stop` is
    // requested: a monitor that stops does not wait out a held lock.
    DailyLog stopped_by(std::stop_token stop) const;
    // The most bytes one day's file takes in lines (0: no bound). Past it the
    // day's further lines are dropped, and one closing line, written once and
    // then updated in place, counts them.
    DailyLog with_day_limit(std::uint64_t bytes) const;

    // Appends "date-time - message CR LF" to the day's file with one write.
    // Throws Falha (message names the path and the reason) when the folder is
    // missing, the day's file is a symbolic link, the file cannot be opened or
    // written, or another program held its turn past kLockPatience. Thread
    // safe: lines of concurrent writers, in this process or another, never
    // interleave.
    void GravaLog(std::string_view message) const;

    // The file the line of this moment goes to; empty when disabled.
    std::string current_file() const;

private:
    enum class Where { Folder, Nowhere };
    DailyLog(Where where, std::string folder) : where_(where), folder_(std::move(folder)) {}

    Where where_;
    std::string folder_;
    Clock clock_ = &std::chrono::system_clock::now;
    std::uint64_t day_limit_ = kDefaultDayLimit;
    std::stop_token stop_;
    mutable LockPatience patience_;
};

// "logWSR37100_" + DDMM + ".txt" for a local calendar time.
std::string log_file_name(const std::tm& local);

// What the platform provides to the log.
std::string host_executable_folder();
std::string join_path(std::string_view folder, std::string_view name);
// The day's file, open for appending (created when absent, never through a
// symbolic link) for the object's life. Throws Falha naming the path and the
// reason on every failure.
class AppendFile {
public:
    explicit AppendFile(const std::string& path);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    std::uint64_t size() const;
    // One write of the whole text at the end of the file: writers in other
    // threads or processes can neither collide with it nor tear it.
    void append(std::string_view bytes);
    // Whether every line takes its turn at the file (where an append alone is
    // not one indivisible write), or only the lines of a bounded day, which
    // read the file's size before they write.
    static bool every_line_takes_a_turn();
    // Tries once to take this writer's turn at the file, held from here until
    // it closes; false while another writer holds it. The turn is a lock on a
    // byte far past any real end of the file, so a reader's lock on the lines
    // themselves (a backup tool, a log shipper) does not take it.
    bool try_turn();
    // The last `count` bytes (fewer in a shorter file).
    std::string tail(std::size_t count) const;
    // Overwrites the last bytes.size() bytes of the file with `bytes`, through
    // the file this object holds open (never the path again, which may name
    // another file by now).
    void replace_tail(std::string_view bytes);
    // Reports a failed close (network file systems report late write errors there).
    void close();

private:
    struct Handle;
    std::string path_;
    std::unique_ptr<Handle> handle_;
};

}  // namespace Wsr37100
