// UUCP lock files: taken with a link() so two openers cannot both win.
#include "link/serial/uucp_lock.hpp"
#include "link/serial/port_holders.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

namespace Wsr37100 {

namespace {

constexpr int kTakeAttempts = 2;  // once more after removing a stale lock
// A process's start and a file's time come from the same clock, but rounded differently.
constexpr auto kClockSlack = std::chrono::seconds(1);

// The process a lock file names (ASCII, "%10d\n" in the HDB form), and when
// the file was written.
struct Holder {
    pid_t pid = 0;
    std::chrono::system_clock::time_point written;
};

Holder holder_in(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return {};
    char text[32] = {};
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    struct stat info {};
    const bool stated = ::fstat(fd, &info) == 0;
    ::close(fd);
    if (length <= 0 || !stated) return {};
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (pid <= 0 || pid > INT_MAX) return {};
    using namespace std::chrono;
    const auto written = seconds(info.st_mtim.tv_sec) + nanoseconds(info.st_mtim.tv_nsec);
    return {static_cast<pid_t>(pid), system_clock::time_point(duration_cast<system_clock::duration>(written))};
}

// A lock holds while the process it names lives, unless that process is not
// the one that wrote it and does not hold the device either: a process that
// started after the file was written may only have got the PID of one that
// ended without removing its lock (killed, or crashed). The clocks alone never
// decide it: a wall clock stepped forward since the lock was written (NTP at
// boot, a hardware clock kept in local time) or a lock file's time set back
// make a live writer look younger than its file, and it holds the device.
bool holds(const Holder& holder, dev_t device) {
    if (holder.pid == 0) return false;
    if (::kill(holder.pid, 0) != 0 && errno != EPERM) return false;
    const auto started = process_start(holder.pid);
    if (!started || *started <= holder.written + kClockSlack) return true;
    // Its descriptors unseen (another user's, for a user who is not root): it may be the writer.
    return process_holds(holder.pid, device).value_or(true);
}

// Writes our PID to a file of its own and links it to the lock's name.
enum class Link { Taken, Exists, NotPossible };
Link link_ours(const std::string& folder, const std::string& lock_file) {
    const std::string temporary = folder + "/LTMP." + std::to_string(::getpid()) + "." +
                                  std::to_string(reinterpret_cast<std::uintptr_t>(&temporary));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return Link::NotPossible;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    Link result = Link::NotPossible;
    if (written) {
        if (::link(temporary.c_str(), lock_file.c_str()) == 0) {
            result = Link::Taken;
        } else if (errno == EEXIST) {
            result = Link::Exists;
        }
    }
    ::unlink(temporary.c_str());
    return result;
}

}  // namespace

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
    if (this != &other) {
        if (!path_.empty()) ::unlink(path_.c_str());
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

UucpLock::~UucpLock() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

std::string uucp_lock_name(const std::string& device_path) {
    std::string path = device_path;
    if (char* resolved = ::realpath(device_path.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    const std::string dev = "/dev/";
    std::string name = path.rfind(dev, 0) == 0 ? path.substr(dev.size()) : path.substr(path.find_last_of('/') + 1);
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return "LCK.." + name;
}

UucpLock::Attempt UucpLock::take(const std::string& folder, const std::string& device_path) {
    Attempt attempt;
    const std::string lock_file = folder + "/" + uucp_lock_name(device_path);
    struct stat node {};
    const dev_t device = ::stat(device_path.c_str(), &node) == 0 ? node.st_rdev : 0;
    for (int i = 0; i < kTakeAttempts; ++i) {
        switch (link_ours(folder, lock_file)) {
            case Link::Taken: attempt.lock = UucpLock(lock_file); return attempt;
            case Link::NotPossible: return attempt;
            case Link::Exists: break;
        }
        const Holder holder = holder_in(lock_file);
        if (holds(holder, device)) {
            attempt.holder = holder.pid;
            attempt.holder_file = lock_file;
            return attempt;
        }
        ::unlink(lock_file.c_str());  // stale: its process is gone, or is not the one that wrote it
    }
    return attempt;
}

}  // namespace Wsr37100
