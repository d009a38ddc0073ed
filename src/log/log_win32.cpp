// The log's file system work on Windows: the host's folder and the one-write append.
#include <windows.h>

#include <string>
#include <vector>

#include "log/daily_log.hpp"
#include "log/system_reason.hpp"
#include "wsr37100.hpp"

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

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

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

void append_to_file(const std::string& path, std::string_view bytes, LockPatience& patience) {
    // Without FILE_WRITE_DATA every write lands at the current end, and the
    // sharing lets other writers open the file at the same time. FILE_READ_DATA
    // is there only so the handle may take the lock below.
    FileHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        throw Falha("N\xE3o foi poss\xEDvel abrir o arquivo de log " + quoted(path) + ": " +
                    system_reason(::GetLastError()));
    }
    // Not every file system makes an append atomic (network shares, Wine), so
    // writers also take turns on a lock far past any real end of file; it keeps
    // no reader out of the lines themselves.
    {
        AppendLock lock(file.get(), patience);
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
            fail_writing(path, system_reason(::GetLastError()));
        }
        if (written != bytes.size()) fail_writing(path, "grava\xE7\xE3o incompleta");
    }
    if (!file.close()) fail_writing(path, system_reason(::GetLastError()));
}

}  // namespace Wsr37100
