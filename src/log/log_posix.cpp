// The log's file system work on POSIX: the host's folder and the one-write append.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "log/daily_log.hpp"
#include "log/system_reason.hpp"
#include "wsr37100.hpp"

namespace Wsr37100 {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report a failed write on network file systems.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void fail_writing(const std::string& path, const std::string& reason) {
    throw Falha("Falha ao gravar no arquivo de log " + quoted(path) + ": " + reason);
}

}  // namespace

std::string host_executable_folder() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            throw Falha("N\xE3o foi poss\xEDvel localizar o programa hospedeiro: " + system_reason(errno));
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<size_t>(length));
            return path.substr(0, path.find_last_of('/'));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string join_path(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

void append_to_file(const std::string& path, std::string_view bytes, LockPatience& /*patience*/) {
    // O_APPEND makes each write land whole at the current end, so writers in
    // other threads or processes can neither collide nor tear a line.
    // O_NONBLOCK changes nothing for a regular file; it keeps a FIFO put in the
    // file's place from blocking the host forever. 0666 less the umask: where
    // several users run the point of sale, the first of the day must not own a
    // file the others cannot append to.
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
    if (file.get() < 0) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " + system_reason(errno));
    }
    ssize_t written;
    do {
        written = ::write(file.get(), bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) fail_writing(path, system_reason(errno));
    if (static_cast<size_t>(written) != bytes.size()) fail_writing(path, "grava\xE7\xE3o incompleta");
    if (file.close() != 0 && errno != EINTR) fail_writing(path, system_reason(errno));
}

}  // namespace Wsr37100
