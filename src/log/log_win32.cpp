// The log's file system work on Windows: the host's folder and the day's file.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "log/daily_log.hpp"
#include "log/system_reason.hpp"
#include "wsr37100_falha.hpp"
#include "base/quoted.hpp"

namespace Wsr37100 {

namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    BOOL close() {
        BOOL ok = ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE handle_;
};

// A writer's turn: a lock on a byte far past any real end of the file, held
// until the handle closes. The unlock runs before the handle closes, so it can
// never reach another thread's handle that reused the value.
//
// Unlike POSIX (a turn file only writers can open), the turn stays on the day's
// file itself: on Windows a lock is mandatory and a sharing mode is enforced,
// so any program that can open the log to read it can keep every writer out
// anyway, whatever the turn is taken on (a read lock over the lines refuses
// their writes, a sharing mode without FILE_SHARE_WRITE refuses their opens).
// A turn file would not take that power away, only turn the wait into an
// immediate failure; who may read the day's file is the folder's ACL.
class AppendLock {
public:
    explicit AppendLock(HANDLE file) : file_(file) {}
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;
    ~AppendLock() {
        if (!locked_) return;
        OVERLAPPED region = far_region();
        ::UnlockFileEx(file_, 0, 1, 0, &region);
    }
    // One attempt; false while another writer holds the turn. A file that
    // takes no locks (a device) has no turns to wait for.
    bool try_take() {
        if (locked_) return true;
        OVERLAPPED region = far_region();
        locked_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region) != 0;
        if (locked_) return true;
        const DWORD error = ::GetLastError();
        return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
    }

private:
    static OVERLAPPED far_region() {
        OVERLAPPED region{};
        region.Offset = MAXDWORD;
        region.OffsetHigh = MAXLONG;
        return region;
    }
    HANDLE file_;
    bool locked_ = false;
};

[[noreturn]] void fail_writing(const std::string& path, const std::string& reason) {
    throw Falha("Falha ao gravar no arquivo de log " + quoted(path) + ": " + reason);
}

}  // namespace

std::string host_executable_folder() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw Falha("N\xE3o foi poss\xEDvel localizar o programa hospedeiro: " + system_reason(::GetLastError()));
        }
        if (length < buffer.size()) {
            std::string path(buffer.data(), length);
            return path.substr(0, path.find_last_of("\\/"));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string join_path(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
    path += name;
    return path;
}

namespace {
// The last `count` bytes of a file `end` bytes long (all of it when shorter); nothing, with the
// thread's last error, when the read fails.
std::optional<std::string> end_of(HANDLE file, std::uint64_t end, std::size_t count) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(count, end));
    std::string bytes(length, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end - length);
    at.OffsetHigh = static_cast<DWORD>((end - length) >> 32);
    DWORD got = 0;
    if (length > 0 && !::ReadFile(file, bytes.data(), static_cast<DWORD>(length), &got, &at)) return std::nullopt;
    bytes.resize(got);
    return bytes;
}
}  // namespace

std::optional<std::string> read_file_end(const std::string& path, std::size_t count) {
    // Shared with the writers, and a link in the file's place is opened as itself and refused.
    FileHandle reader(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const auto fail = [&](DWORD error) {
        throw Falha("N\xE3o foi poss\xEDvel ler o arquivo de log " + quoted(path) + ": " + system_reason(error));
    };
    if (reader.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        fail(error);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(reader.get(), &info)) return std::string();  // not a disk file
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) fail(ERROR_CANT_ACCESS_FILE);
    const std::uint64_t end = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    auto bytes = end_of(reader.get(), end, count);
    if (!bytes) fail(::GetLastError());
    return bytes;
}

struct AppendFile::Handle {
    explicit Handle(HANDLE handle) : file(handle) {}
    FileHandle file;
    // Dropped before the close: the unlock can never reach another thread's
    // handle that reused the value.
    std::optional<AppendLock> lock;
};

AppendFile::AppendFile(const std::string& path) : path_(path) {
    // Without FILE_WRITE_DATA every write lands at the current end, and the
    // sharing lets other writers open the file at the same time. FILE_READ_DATA
    // lets the handle take the lock below and read the file's end;
    // FILE_READ_ATTRIBUTES lets it learn the file's size. A link planted as the
    // day's file is opened as itself and refused, never followed.
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " +
                    system_reason(::GetLastError()));
    }
    handle_ = std::make_unique<Handle>(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " +
                    system_reason(ERROR_CANT_ACCESS_FILE));
    }
    handle_->lock.emplace(file);
}

// The lock goes before the handle: Handle's members end in reverse order.
AppendFile::~AppendFile() = default;

std::uint64_t AppendFile::size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_->file.get(), &size)) return 0;  // not a disk file: nothing to bound
    return static_cast<std::uint64_t>(size.QuadPart);
}

FileMark AppendFile::mark() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle_->file.get(), &info)) return FileMark{};  // not a disk file
    return FileMark{(static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                    static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                              info.ftLastWriteTime.dwLowDateTime)};
}

void AppendFile::append(std::string_view bytes) {
    // The turn is held: the file ends where it ended before this write, so a
    // part that did not fit can be cut back to there.
    const std::uint64_t before = size();
    std::size_t done = 0;
    DWORD error = ERROR_SUCCESS;
    while (done < bytes.size()) {
        DWORD written = 0;
        const BOOL ok = ::WriteFile(handle_->file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                                    &written, nullptr);
        done += written;
        if (!ok) {
            error = ::GetLastError();
            break;
        }
        if (written == 0) break;
    }
    if (done == bytes.size()) return;
    if (done > 0) {
        // The append handle cannot set the end: a second handle of the same open file does.
        FileHandle cutter(::ReOpenFile(handle_->file.get(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(before);
        if (cutter.get() == INVALID_HANDLE_VALUE ||
            !::SetFileInformationByHandle(cutter.get(), FileEndOfFileInfo, &end, sizeof end)) {
            fail_writing(path_, "grava\xE7\xE3o incompleta");
        }
    }
    if (error != ERROR_SUCCESS) fail_writing(path_, system_reason(error));
    fail_writing(path_, "grava\xE7\xE3o incompleta");
}

// Not every file system makes an append atomic (network shares, Wine), and a
// line that does not fit is cut back only by a writer alone at the file's
// end: every line takes its turn (as on POSIX).
bool AppendFile::try_turn() {
    if (!handle_->lock) handle_->lock.emplace(handle_->file.get());
    return handle_->lock->try_take();
}

void AppendFile::release_turn() {
    if (handle_->lock) handle_->lock.reset();
}

std::string AppendFile::tail(std::size_t count) const {
    auto bytes = end_of(handle_->file.get(), size(), count);
    if (!bytes) fail_writing(path_, system_reason(::GetLastError()));
    return *bytes;
}

void AppendFile::replace_tail(std::string_view bytes) {
    // The append handle cannot write in place: a second handle of the same open
    // file does (not the path again, which may name another file by now).
    FileHandle writer(::ReOpenFile(handle_->file.get(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    if (writer.get() == INVALID_HANDLE_VALUE) fail_writing(path_, system_reason(::GetLastError()));
    const std::uint64_t end = size();
    if (end < bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end - bytes.size());
    at.OffsetHigh = static_cast<DWORD>((end - bytes.size()) >> 32);
    DWORD written = 0;
    if (!::WriteFile(writer.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at)) {
        fail_writing(path_, system_reason(::GetLastError()));
    }
    if (written != bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
    if (!writer.close()) fail_writing(path_, system_reason(::GetLastError()));
}

void AppendFile::close() {
    handle_->lock.reset();
    if (!handle_->file.close()) fail_writing(path_, system_reason(::GetLastError()));
}

}  // namespace Wsr37100
