// Linux: the managed policy folders of Chromium (Debian's), Google Chrome and
// Microsoft Edge.
#include "browser_policy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Wsr37100::cli {

namespace {

std::vector<std::filesystem::path> managed_policy_folders() {
    return {"/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed", "/etc/opt/edge/policies/managed"};
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string unreadable_by_others(const std::filesystem::path& file) {
    const std::filesystem::path absolute = std::filesystem::absolute(file);
    struct stat status {};
    if (::stat(absolute.c_str(), &status) != 0) return absolute.string() + ": " + std::strerror(errno);
    if ((status.st_mode & S_IROTH) == 0) return absolute.string() + " is not readable by others";
    for (auto folder = absolute.parent_path();; folder = folder.parent_path()) {
        if (::stat(folder.c_str(), &status) != 0) return folder.string() + ": " + std::strerror(errno);
        if ((status.st_mode & S_IXOTH) == 0) return "the folder " + folder.string() + " is not open to others (chmod o+rx)";
        if (folder == folder.parent_path()) return {};
    }
}

std::optional<std::string> regular_file_text(const std::filesystem::path& path) {
    // A device is not even opened (opening some does something); what is opened is checked again.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

int install_system_policy(const std::vector<std::string>& origins) {
    return install_policy_files(managed_policy_folders(), policy_json(origins));
}

int remove_system_policy() { return remove_policy_files(managed_policy_folders()); }

}  // namespace Wsr37100::cli
