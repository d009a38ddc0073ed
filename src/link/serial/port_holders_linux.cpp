// Who holds a device open, from /proc: each process's descriptors, and a
// pseudo-terminal master's index in its fdinfo.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "link/serial/port_holders.hpp"

namespace Wsr37100 {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kFirstPtsMajor = 136;
constexpr unsigned kLastPtsMajor = 143;

// The index of the pseudo-terminal (N of /dev/pts/N), or -1 for another device.
long pts_index(dev_t device) {
    const unsigned major_number = major(device);
    if (major_number < kFirstPtsMajor || major_number > kLastPtsMajor) return -1;
    return static_cast<long>((major_number - kFirstPtsMajor) * 256 + minor(device));
}

// The "tty-index" a master descriptor's fdinfo tells, or -1.
long master_index(const fs::path& process, const std::string& descriptor) {
    std::ifstream info(process / "fdinfo" / descriptor);
    std::string key;
    while (info >> key) {
        if (key == "tty-index:") {
            long index = -1;
            info >> index;
            return index;
        }
    }
    return -1;
}

struct Holding {
    bool device = false;
    bool master = false;
};

// Only descriptors of device nodes are looked at: a stat of any other target
// could wait on a network file system.
bool names_a_device(const fs::path& descriptor) {
    std::error_code error;
    const fs::path target = fs::read_symlink(descriptor, error);
    return !error && target.native().starts_with("/dev/");
}

Holding holding_of(const fs::path& process, dev_t device, long index) {
    Holding found;
    std::error_code error;
    // A process may end while it is looked at: its folder goes, and the walk with it.
    for (fs::directory_iterator it(process / "fd", error), end; !error && it != end; it.increment(error)) {
        const fs::path descriptor = it->path();
        struct stat target {};
        if (!names_a_device(descriptor) || ::stat(descriptor.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) {
            continue;
        }
        if (target.st_rdev == device) found.device = true;
        // /dev/ptmx and /dev/pts/ptmx alike are 5:2.
        if (index >= 0 && major(target.st_rdev) == 5 && minor(target.st_rdev) == 2 &&
            master_index(process, descriptor.filename().string()) == index) {
            found.master = true;
        }
    }
    return found;
}

}  // namespace

std::optional<bool> process_holds(pid_t process, dev_t device) {
    const fs::path folder = "/proc/" + std::to_string(process);
    std::error_code error;
    fs::directory_iterator probe(folder / "fd", error);
    if (error) return std::nullopt;
    const Holding holding = holding_of(folder, device, pts_index(device));
    return holding.device && !holding.master;
}

std::optional<pid_t> process_holding(dev_t device) {
    const pid_t self = ::getpid();
    const long index = pts_index(device);
    std::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        if (pid == self) continue;
        const Holding holding = holding_of(it->path(), device, index);
        if (holding.device && !holding.master) return pid;
    }
    return std::nullopt;
}

std::optional<std::chrono::system_clock::time_point> process_start(pid_t process) {
    // Field 22 of /proc/PID/stat: clock ticks from boot. The command's name
    // (field 2) may hold spaces and parentheses, so fields are counted after its last ')'.
    std::ifstream stat_file("/proc/" + std::to_string(process) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
    const auto name_end = text.rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(name_end + 1));
    std::string field;
    for (int i = 3; i < 22 && fields >> field; ++i) {
    }
    unsigned long long ticks = 0;
    const long per_second = ::sysconf(_SC_CLK_TCK);
    if (!(fields >> ticks) || per_second <= 0) return std::nullopt;

    timespec now_wall{};
    timespec now_boot{};
    if (::clock_gettime(CLOCK_REALTIME, &now_wall) != 0 || ::clock_gettime(CLOCK_BOOTTIME, &now_boot) != 0) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const auto since_boot = seconds(now_boot.tv_sec) + nanoseconds(now_boot.tv_nsec);
    const auto boot = system_clock::time_point(duration_cast<system_clock::duration>(
        seconds(now_wall.tv_sec) + nanoseconds(now_wall.tv_nsec) - since_boot));
    const auto started = duration_cast<system_clock::duration>(
        nanoseconds(ticks * 1'000'000'000ULL / static_cast<unsigned long long>(per_second)));
    return boot + started;
}

}  // namespace Wsr37100
