// The log's file system work on Windows: the host's folder and the day's file.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "log/daily_log.hpp"
#include "log/system_reason.hpp"
#include "base/falha.hpp"
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

// Writers take turns on a byte far past any real end of the file. The wait is
// bounded: a terminal that died holding the lock on a network share must not
// stall every other terminal's weighing, so after kLockPatience the line is
// appended without the turn (the append itself stays one write).
class AppendLock {
public:
    AppendLock(HANDLE file, LockPatience& patience) : file_(file) {
        const ULONGLONG give_up = ::GetTickCount64() + (patience.patient() ? kLockPatienceMs : 0);
        for (;;) {
            OVERLAPPED region = far_region();
            if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region)) {
                locked_ = true;
                patience.set(true);
                return;
            }
            if (::GetLastError() != ERROR_LOCK_VIOLATION && ::GetLastError() != ERROR_IO_PENDING) return;
            if (::GetTickCount64() >= give_up) {
                patience.set(false);
                return;
            }
            ::Sleep(kLockRetryMs);
        }
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;
    // Runs before the handle closes: the caller scopes the lock inside the
    // handle's life, so the unlock can never reach another thread's handle
    // that reused the value.
    ~AppendLock() {
        if (!locked_) return;
        OVERLAPPED region = far_region();
        ::UnlockFileEx(file_, 0, 1, 0, &region);
    }

private:
    static constexpr DWORD kLockPatienceMs = 1000;
    static constexpr DWORD kLockRetryMs = 5;
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

struct AppendFile::Handle {
    explicit Handle(HANDLE handle) : file(handle) {}
    FileHandle file;
    // Taken right after the open, dropped before the close: the unlock can
    // never reach another thread's handle that reused the value.
    std::optional<AppendLock> lock;
};

AppendFile::AppendFile(const std::string& path, LockPatience& patience) : path_(path) {
    // Without FILE_WRITE_DATA every write lands at the current end, and the
    // sharing lets other writers open the file at the same time. FILE_READ_DATA
    // lets the handle take the lock below and read the file's end;
    // FILE_READ_ATTRIBUTES lets it learn the file's size.
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " +
                    system_reason(::GetLastError()));
    }
    handle_ = std::make_unique<Handle>(file);
    // Not every file system makes an append atomic (network shares, Wine), so
    // writers also take turns on a lock far past any real end of file; it keeps
    // no reader out of the lines themselves.
    handle_->lock.emplace(file, patience);
}

// The lock goes before the handle: Handle's members end in reverse order.
AppendFile::~AppendFile() = default;

std::uint64_t AppendFile::size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_->file.get(), &size)) return 0;  // not a disk file: nothing to bound
    return static_cast<std::uint64_t>(size.QuadPart);
}

void AppendFile::append(std::string_view bytes) {
    DWORD written = 0;
    if (!::WriteFile(handle_->file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        fail_writing(path_, system_reason(::GetLastError()));
    }
    if (written != bytes.size()) fail_writing(path_, "grava\xE7\xE3o incompleta");
}

// Every writer already takes its turn from the open on.
void AppendFile::take_turn() {}

std::string AppendFile::tail(std::size_t count) const {
    const std::uint64_t end = size();
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(count, end));
    std::string bytes(length, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end - length);
    at.OffsetHigh = static_cast<DWORD>((end - length) >> 32);
    DWORD got = 0;
    if (length > 0 && !::ReadFile(handle_->file.get(), bytes.data(), static_cast<DWORD>(length), &got, &at)) {
        fail_writing(path_, system_reason(::GetLastError()));
    }
    bytes.resize(got);
    return bytes;
}

void AppendFile::replace_tail(std::string_view bytes) {
    // The append handle cannot write in place: a second one does, and goes at once.
    FileHandle writer(::CreateFileA(path_.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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
