// The UUCP lock-file convention of serial programs on Linux: "LCK..ttyUSB0" holding a PID.
#pragma once

#include <sys/types.h>

#include <string>

namespace Wsr37100 {

// A lock file of ours; removed when the object goes. Empty when none was taken.
class UucpLock {
public:
    UucpLock() = default;
    UucpLock(UucpLock&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;
    ~UucpLock();

    const std::string& path() const { return path_; }

    struct Attempt;
    // Takes the lock for the device in the folder. A lock whose process still
    // lives leaves the attempt with that holder and no lock; a stale one (a
    // dead process, its PID now another process's that started later, or no
    // PID in it) is removed and taken over. A folder we
    // cannot write gives no lock and no holder: serial programs go on without.
    static Attempt take(const std::string& folder, const std::string& device_path);

private:
    explicit UucpLock(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

struct UucpLock::Attempt {
    UucpLock lock;
    pid_t holder = 0;         // a live process that holds the port, or 0
    std::string holder_file;  // that process's lock file
};

// "LCK.." + the device's name below /dev, '/' turned into '_' ("LCK..ttyUSB0",
// "LCK..pts_3"); links are followed first, so every name of a port shares one lock.
std::string uucp_lock_name(const std::string& device_path);

}  // namespace Wsr37100
