// The daily diagnostic log: one line per event in "dados/logWSR37100_DDMM.txt".
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace Wsr37100 {

using Clock = std::chrono::system_clock::time_point (*)();

// Whether a writer may still wait its turn at the file (Windows, where the
// writers of a shared file take turns on a lock). Once a wait ran out (a
// writer that died holding the lock on a network share), the later lines of
// the same log do not wait again until a turn is had: a stuck lock costs one
// wait, not one per line. Copyable, and safe to share between threads.
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

    // Appends "date-time - message CR LF" to the day's file with one write.
    // Throws Falha (message names the path and the reason) when the folder is
    // missing or the file cannot be opened or written. Thread safe: lines of
    // concurrent writers, in this process or another, never interleave.
    void GravaLog(std::string_view message) const;

    // The file the line of this moment goes to; empty when disabled.
    std::string current_file() const;

private:
    enum class Where { Folder, Nowhere };
    DailyLog(Where where, std::string folder) : where_(where), folder_(std::move(folder)) {}

    Where where_;
    std::string folder_;
    Clock clock_ = &std::chrono::system_clock::now;
    mutable LockPatience patience_;
};

// "logWSR37100_" + DDMM + ".txt" for a local calendar time.
std::string log_file_name(const std::tm& local);

// What the platform provides to the log.
std::string host_executable_folder();
std::string join_path(std::string_view folder, std::string_view name);
// One write of the whole line at the end of the file, created when absent.
void append_to_file(const std::string& path, std::string_view bytes, LockPatience& patience);

}  // namespace Wsr37100
