// The log's file system work on POSIX: the host's folder and the day's file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
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
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closing can report a failed write on network file systems.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

[[noreturn]] void fail_writing(const std::string& path, const std::string& reason) {
    throw Falha("Falha ao gravar no arquivo de log " + quoted(path) + ": " + reason);
}

[[noreturn]] void fail_opening(const std::string& path, int error) {
    throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " + system_reason(error));
}

[[noreturn]] void fail_reading(const std::string& path, int error) {
    throw Falha("N\xE3o foi poss\xEDvel ler o arquivo de log " + quoted(path) + ": " + system_reason(error));
}

// The last `count` bytes of a file `end` bytes long (all of it when shorter); nothing, with errno, when
// the read fails.
std::optional<std::string> end_of(int fd, std::uint64_t end, std::size_t count) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(count, end));
    std::string bytes(length, '\0');
    ssize_t got;
    do {
        got = ::pread(fd, bytes.data(), length, static_cast<off_t>(end - length));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

// Whether writing on from `end` would pass the process's file size limit,
// which answers with SIGXFSZ (the end of a host that does not ignore it)
// rather than a failure.
bool past_size_limit(std::uint64_t end) {
    struct rlimit limit {};
    return ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && end >= limit.rlim_cur;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Puts a file of exactly `mode` (whatever the umask) at `path` unless one is
// there: false, with errno, when it cannot. The file is made unnamed, given
// its mode and only then linked in, so no other writer ever opens it with
// less; where the file system makes no unnamed files, it is created and then
// given its mode.
bool create_with_mode(const std::string& path, mode_t mode) {
    const int unnamed = ::open(folder_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (unnamed >= 0) {
        (void)::fchmod(unnamed, mode);
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed);
        const int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        const int error = errno;
        ::close(unnamed);
        if (linked == 0 || error == EEXIST) return true;
        errno = error;
        if (error != ENOENT) return false;  // ENOENT: no /proc (or no folder), tried the other way below
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, mode);
    if (fd < 0) return errno == EEXIST;
    (void)::fchmod(fd, mode);
    ::close(fd);
    return true;
}

// Opens the file at `path` (never through a symbolic link), first putting one
// of `mode` there when none is; -1 with errno when it cannot.
int open_or_create(const std::string& path, int flags, mode_t mode) {
    flags |= O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(path.c_str(), flags);
        // A file removed between its creation and its opening is made again, a few times.
        if (fd >= 0 || errno != ENOENT || attempt == 3) return fd;
        if (!create_with_mode(path, mode)) return -1;
    }
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
    FileDescriptor turn{-1};  // the folder's turn file, while this writer takes or holds its turn
};

std::optional<std::string> read_file_end(const std::string& path, std::size_t count) {
    // O_NONBLOCK: a FIFO in the file's place never holds the reader up; O_NOCTTY: nor
    // does a terminal there become the process's.
    FileDescriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
    if (reader.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail_reading(path, errno);
    }
    struct stat status {};
    if (::fstat(reader.get(), &status) != 0) fail_reading(path, errno);
    if (S_ISDIR(status.st_mode)) fail_reading(path, EISDIR);
    if (!S_ISREG(status.st_mode)) return std::string();  // a FIFO, a device: no lines of ours
    auto bytes = end_of(reader.get(), static_cast<std::uint64_t>(status.st_size), count);
    if (!bytes) fail_reading(path, errno);
    return bytes;
}

AppendFile::AppendFile(const std::string& path) : path_(path) {
    // O_APPEND makes each write land at the current end, so writers in other
    // threads or processes can never collide. O_NOFOLLOW: a link planted as
    // the day's file must not send the lines into the file it points at (a
    // link as the folder itself still works). O_NONBLOCK changes nothing for a
    // regular file; it keeps a FIFO put in the file's place from blocking the
    // host forever. A new file is 0664 whatever the umask: where several users
    // of one group run the point of sale, the first of the day must not own a
    // file the others cannot append to (the folder's group, when the folder
    // is set-group-ID, is the file's: docs/operations.md).
    const int fd = open_or_create(path, O_WRONLY | O_APPEND, kLogFileMode);
    if (fd < 0) fail_opening(path, errno);
    handle_ = std::make_unique<Handle>(fd);
}

AppendFile::~AppendFile() = default;

std::uint64_t AppendFile::size() const {
    struct stat status {};
    if (::fstat(handle_->file.get(), &status) != 0) fail_writing(path_, system_reason(errno));
    // Something else in the file's place (a FIFO, a device) has no size to bound.
    return S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;
}

FileMark AppendFile::mark() const {
    struct stat status {};
    if (::fstat(handle_->file.get(), &status) != 0) fail_writing(path_, system_reason(errno));
    return FileMark{static_cast<std::uint64_t>(status.st_size),
                    static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

void AppendFile::append(std::string_view bytes) {
    // The turn is held: the file ends where it ended before this write, so a
    // part that did not fit can be cut back to there.
    const std::uint64_t before = size();
    if (past_size_limit(before)) fail_writing(path_, "grava\xE7\xE3o incompleta");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(handle_->file.get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written > 0) done += static_cast<std::size_t>(written);
        // After a short write, the rest, or the reason it does not fit (a full disk).
        if (written > 0 && (done == bytes.size() || !past_size_limit(before + done))) continue;
        const std::string reason = written < 0 ? system_reason(errno) : std::string("grava\xE7\xE3o incompleta");
        if (done > 0) {
            int cut;
            do {
                cut = ::ftruncate(handle_->file.get(), static_cast<off_t>(before));
            } while (cut != 0 && errno == EINTR);
            // A part that stays (the file cannot be cut) is the failure to tell.
            if (cut != 0) fail_writing(path_, "grava\xE7\xE3o incompleta");
        }
        fail_writing(path_, reason);
    }
}

bool AppendFile::try_turn() {
    if (handle_->turn.get() < 0) {
        // The turn file: the writers' own, a reader of the log cannot open it.
        const std::string turn_path = join_path(folder_of(path_), kTurnFileName);
        const int fd = open_or_create(turn_path, O_WRONLY, kTurnFileMode);
        if (fd < 0) fail_opening(turn_path, errno);
        handle_->turn.reset(fd);
    }
    // An open file description's lock: threads of one process take turns too.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int result;
    do {
        result = ::fcntl(handle_->turn.get(), F_OFD_SETLK, &whole);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    fail_writing(path_, system_reason(errno));
}

void AppendFile::release_turn() {
    if (handle_->turn.get() >= 0) (void)handle_->turn.close();
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
    auto bytes = end_of(reader.get(), size(), count);
    if (!bytes) fail_writing(path_, system_reason(errno));
    return *bytes;
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
