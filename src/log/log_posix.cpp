// The log's file system work on POSIX: the host's folder and the day's file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "log/daily_log.hpp"
#include "log/system_reason.hpp"
#include "wsr37100_falha.hpp"
#include "base/quoted.hpp"

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

// The byte writers lock for their turn: far past any real end of the file.
constexpr off_t kTurnByte = std::numeric_limits<off_t>::max() - 1;

[[noreturn]] void fail_writing(const std::string& path, const std::string& reason) {
    throw Falha("Falha ao gravar no arquivo de log " + quoted(path) + ": " + reason);
}

}  // namespace

std::string join_path(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

struct AppendFile::Handle {
    explicit Handle(int fd) : file(fd) {}
    int reopen(const std::string& path, int flags) const;
    FileDescriptor file;
};

AppendFile::AppendFile(const std::string& path) : path_(path) {
    // O_APPEND makes each write land whole at the current end, so writers in
    // other threads or processes can neither collide nor tear a line.
    // O_NOFOLLOW: a link planted as the day's file must not send the lines
    // into the file it points at (a link as the folder itself still works).
    // O_NONBLOCK changes nothing for a regular file; it keeps a FIFO put in the
    // file's place from blocking the host forever. 0666 less the umask: where
    // several users run the point of sale, the first of the day must not own a
    // file the others cannot append to.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666);
    if (fd < 0) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " + system_reason(errno));
    }
    handle_ = std::make_unique<Handle>(fd);
}

AppendFile::~AppendFile() = default;

std::uint64_t AppendFile::size() const {
    struct stat status {};
    if (::fstat(handle_->file.get(), &status) != 0) fail_writing(path_, system_reason(errno));
    // Something else in the file's place (a FIFO, a device) has no size to bound.
    return S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;
}

void AppendFile::append(std::string_view bytes) {
    ssize_t written;
    do {
        written = ::write(handle_->file.get(), bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) fail_writing(path_, system_reason(errno));
    if (static_cast<size_t>(written) != bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
}

bool AppendFile::every_line_takes_a_turn() { return false; }

bool AppendFile::try_turn() {
    // An open file description's lock: threads of one process take turns too,
    // and it is the writers' own (a reader cannot take a write lock).
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = kTurnByte;
    region.l_len = 1;
    int result;
    do {
        result = ::fcntl(handle_->file.get(), F_OFD_SETLK, &region);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    fail_writing(path_, system_reason(errno));
}

// The file this object holds, opened once more for reading or writing in
// place: through the descriptor, never the path, which may name another file by now.
int AppendFile::Handle::reopen(const std::string& path, int flags) const {
    const int fd = ::open(("/proc/self/fd/" + std::to_string(file.get())).c_str(), flags | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fail_writing(path, system_reason(errno));
    return fd;
}

std::string AppendFile::tail(std::size_t count) const {
    // The append descriptor cannot read; a second one does, and goes at once.
    FileDescriptor reader(handle_->reopen(path_, O_RDONLY));
    const std::uint64_t end = size();
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(count, end));
    std::string bytes(length, '\0');
    const ssize_t got = ::pread(reader.get(), bytes.data(), length, static_cast<off_t>(end - length));
    if (got < 0) fail_writing(path_, system_reason(errno));
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

void AppendFile::replace_tail(std::string_view bytes) {
    // pwrite on an O_APPEND descriptor appends on Linux: a plain one writes in place.
    FileDescriptor writer(handle_->reopen(path_, O_WRONLY));
    const std::uint64_t end = size();
    if (end < bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
    const ssize_t written = ::pwrite(writer.get(), bytes.data(), bytes.size(), static_cast<off_t>(end - bytes.size()));
    if (written < 0) fail_writing(path_, system_reason(errno));
    if (static_cast<size_t>(written) != bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
    if (writer.close() != 0 && errno != EINTR) fail_writing(path_, system_reason(errno));
}

void AppendFile::close() {
    if (handle_->file.close() != 0 && errno != EINTR) fail_writing(path_, system_reason(errno));
}

}  // namespace Wsr37100
