// Serial lines on Linux: the tty subsystem in sysfs, or a pseudo-terminal slave.
#include "link/serial/serial_line.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace Wsr37100 {

namespace {

// Device numbers from the kernel's devices.txt.
constexpr unsigned kVirtualConsoleMajor = 4;  // minors below 64: tty0..tty63; 64 and up: ttyS
constexpr unsigned kFirstSerialMinorOnMajor4 = 64;
constexpr unsigned kTtyAuxMajor = 5;          // /dev/tty, /dev/console, /dev/ptmx
constexpr unsigned kPtySlaveFirstMajor = 136;  // devpts slaves: 136 to 143, not in sysfs
constexpr unsigned kPtySlaveLastMajor = 143;

bool in_tty_subsystem(unsigned major_number, unsigned minor_number) {
    const std::string link =
        "/sys/dev/char/" + std::to_string(major_number) + ":" + std::to_string(minor_number) + "/subsystem";
    char target[256];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
    const std::string path(target, static_cast<std::size_t>(length));
    return path.substr(path.find_last_of('/') + 1) == "tty";
}

// The controlling terminal from /proc/self/stat (field 7, tty_nr), if any.
std::optional<dev_t> controlling_terminal() {
    std::ifstream stat_file("/proc/self/stat");
    std::string line;
    if (!std::getline(stat_file, line)) return std::nullopt;
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::string fields = line.substr(name_end + 1);
    // state, ppid, pgrp, session, tty_nr
    unsigned long long tty_nr = 0;
    char state = 0;
    long long ppid = 0, pgrp = 0, session = 0;
    if (std::sscanf(fields.c_str(), " %c %lld %lld %lld %llu", &state, &ppid, &pgrp, &session, &tty_nr) != 5 ||
        tty_nr == 0) {
        return std::nullopt;
    }
    const auto major_number = static_cast<unsigned>((tty_nr >> 8) & 0xfff);
    const auto minor_number = static_cast<unsigned>((tty_nr & 0xff) | ((tty_nr >> 12) & 0xfff00));
    return makedev(major_number, minor_number);
}

}  // namespace

std::optional<std::string> refusal_of(mode_t mode, dev_t device) {
    if (!S_ISCHR(mode)) return std::string("n\xE3o \xE9 um dispositivo de caracteres");
    const unsigned major_number = major(device);
    const unsigned minor_number = minor(device);
    if (major_number == kTtyAuxMajor || (major_number == kVirtualConsoleMajor && minor_number < kFirstSerialMinorOnMajor4)) {
        return std::string("\xE9 um terminal do sistema (console, /dev/tty ou ptmx), n\xE3o uma porta serial");
    }
    if (const auto own = controlling_terminal(); own && *own == device) {
        return std::string("\xE9 o terminal de controle do pr\xF3prio programa");
    }
    const bool pty_slave = major_number >= kPtySlaveFirstMajor && major_number <= kPtySlaveLastMajor;
    if (!pty_slave && !in_tty_subsystem(major_number, minor_number)) {
        return std::string("n\xE3o \xE9 uma linha serial");
    }
    return std::nullopt;
}

}  // namespace Wsr37100
