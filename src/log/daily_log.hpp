// The daily diagnostic log: one line per event in "dados/logWSR37100_DDMM.txt".
#pragma once

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

// How long a writer waits for its turn at the day's file while nobody else
// has one before the line fails: whoever holds the turn that long without a
// line going through (a writer that died holding it on a network share, a
// program that locks everything it backs up) must not stall the weighing
// behind it. Waiting behind other writers that go on taking turns is no such
// hold and is never blamed on another program.
inline constexpr std::chrono::milliseconds kLockPatience{1000};

// The file the writers of a folder take their turns on, on POSIX: beside the
// day's files, readable and writable by its owner and group only (0660), so a
// program that may only read the log cannot lock it and hold up a line.
inline constexpr std::string_view kTurnFileName = "logWSR37100.lock";

// The mode a new day's file gets whatever the umask (POSIX): the users of the
// folder's group append to it, anybody may read it.
inline constexpr unsigned kLogFileMode = 0664;
// The mode of a new turn file (POSIX): only the writers may open it.
inline constexpr unsigned kTurnFileMode = 0660;

// Where the lines of one call go. A value type: copying it copies a folder name,
// nothing is held open between lines. What is known of a hold on the writers'
// turn is the process's, per folder, shared by every copy and every log of it.
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
    // written (a line that does not fit on the disk is cut back: the file holds
    // whole lines only), or another program held the writers' turn past
    // kLockPatience. Thread safe: lines of concurrent writers, in this process
    // or another, never interleave; the threads of a process take the turn in
    // the order they asked for it.
    void GravaLog(std::string_view message) const;

    // The file the line of this moment goes to; empty when disabled.
    std::string current_file() const;

    // The lines the day's file has dropped past its bound so far, whoever wrote
    // them: the count its closing line carries; 0 when disabled, while the file
    // is absent or under its bound. Reads the file's end only, creates nothing.
    // Throws Falha naming the path and the reason when the file is there but
    // cannot be read.
    std::uint64_t dropped_today() const;

    // How many of this process's writers of the folder are in line for the
    // turn at this moment, the one at the file included.
    int writers_in_line() const;

private:
    enum class Where { Folder, Nowhere };
    DailyLog(Where where, std::string folder) : where_(where), folder_(std::move(folder)) {}

    Where where_;
    std::string folder_;
    Clock clock_ = &std::chrono::system_clock::now;
    std::uint64_t day_limit_ = kDefaultDayLimit;
    std::stop_token stop_;
};

// "logWSR37100_" + DDMM + ".txt" for a local calendar time.
std::string log_file_name(const std::tm& local);

// What the platform provides to the log.
std::string host_executable_folder();
std::string join_path(std::string_view folder, std::string_view name);
// The last `count` bytes of the regular file at `path` (all of it when shorter),
// read without creating or writing anything, never through a symbolic link;
// nothing when there is no file. Throws Falha naming the path and the reason
// when it is there but cannot be read.
std::optional<std::string> read_file_end(const std::string& path, std::size_t count);
// What the day's file looks like from outside: another writer's line changes it.
struct FileMark {
    std::uint64_t size = 0;
    std::int64_t changed = 0;  // the last change, in the platform's own units
    bool operator==(const FileMark&) const = default;
};

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
    FileMark mark() const;
    // The whole text at the end of the file, or nothing: when it does not all
    // fit (a full disk, a file size limit), the part written is cut back and the
    // failure thrown, so the next line never lands glued to a torn one. Only
    // with this writer's turn held: then nobody else appends meanwhile.
    void append(std::string_view bytes);
    // Tries once to take this writer's turn at the file, held until
    // release_turn() or the object's end; false while another writer holds it.
    // On POSIX the turn is a lock on the folder's turn file (kTurnFileName),
    // which only writers can open: a reader's lock on the log, of any user,
    // takes nothing from it. On Windows it is a lock on a byte far past any
    // real end of the day's file (see log_win32.cpp).
    bool try_turn();
    void release_turn();
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
