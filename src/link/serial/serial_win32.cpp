// The serial connection on Windows: kernel32's communications calls, in the scale's order.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "link/interrupt_win32.hpp"
#include "link/port_refusal.hpp"
#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

// Opened for overlapped I/O, so that a wait can also watch an interrupt; the
// time-outs of COMMTIMEOUTS still end every read and write.
struct SerialPort::Native {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE io_done = nullptr;  // the overlapped operations' event
    LinkOptions options;
    std::int32_t rate = 0;
    // As a guest: the port's settings and time-outs as it had them, put back on close.
    bool restore = false;
    DCB original{};
    COMMTIMEOUTS original_timeouts{};

    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (handle != INVALID_HANDLE_VALUE && restore) {
            ::SetCommState(handle, &original);
            ::SetCommTimeouts(handle, &original_timeouts);
        }
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        if (io_done != nullptr) ::CloseHandle(io_done);
    }
};

namespace {

// All time-outs of the link, in one record.
COMMTIMEOUTS link_timeouts(LinkOptions options) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(options.gap.count());
    timeouts.ReadTotalTimeoutMultiplier = 0;
    // Zero would be no limit at all.
    const auto read_limit = (std::max)(options.read_timeout, std::chrono::milliseconds(1));
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(read_limit.count());
    timeouts.WriteTotalTimeoutMultiplier = 0;
    // A guest's write waits no longer than its read would.
    timeouts.WriteTotalTimeoutConstant =
        static_cast<DWORD>((options.as_guest ? (std::min)(kWriteTimeout, read_limit) : kWriteTimeout).count());
    return timeouts;
}

PortProblem problem_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST: return PortProblem::Missing;
        // A COM port that another program holds answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return PortProblem::Busy;
        case ERROR_INVALID_NAME: return PortProblem::NameRefused;
        default: return PortProblem::Other;
    }
}

OpenResult unavailable(const std::string& path, DWORD error) { return port_unavailable(path, problem_of(error), error); }


}  // namespace

SerialPort::SerialPort(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SerialPort::~SerialPort() = default;

OpenResult SerialPort::open(std::string_view device_name, BaudRate baud, LinkOptions options) {
    // "\\.\COM10" opens where "COM10:" would not.
    const std::string path = windows_device_path(device_name);
    if (path.empty()) {
        return port_name_refused(std::string(device_name),
                            "caminho de rede ou de arquivo, n\xE3o uma porta serial");
    }
    auto native = std::make_unique<Native>();
    native->options = options;
    native->io_done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (native->io_done == nullptr) return unavailable(path, ::GetLastError());
    native->handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (native->handle == INVALID_HANDLE_VALUE) return unavailable(path, ::GetLastError());

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(native->handle, &settings)) return port_name_refused(path, "n\xE3o \xE9 uma porta serial");
    // A port another program holds does not open at all, so a guest only keeps what it changes.
    if (options.as_guest && ::GetCommTimeouts(native->handle, &native->original_timeouts)) {
        native->original = settings;
        native->restore = true;
    }
    const std::int32_t rate = baud.value();
    if (rate <= 0) return port_settings_refused(path, rate, ERROR_INVALID_PARAMETER);
    native->rate = rate;
    settings.BaudRate = static_cast<DWORD>(rate);
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;

    if (!::SetupComm(native->handle, kQueueSize, kQueueSize)) return unavailable(path, ::GetLastError());
    if (!::SetCommState(native->handle, &settings)) return port_settings_refused(path, rate, ::GetLastError());
    COMMTIMEOUTS timeouts = link_timeouts(options);
    if (!::SetCommTimeouts(native->handle, &timeouts)) return unavailable(path, ::GetLastError());
    // Bytes that waited for us are no answer to this call's poll.
    if (!::PurgeComm(native->handle, PURGE_RXCLEAR)) return unavailable(path, ::GetLastError());
    return OpenResult{std::unique_ptr<SerialPort>(new SerialPort(std::move(native))), {}};
}

namespace {

// Waits for an overlapped operation, or for the interrupt (then cancels it).
// Returns the bytes it moved, or nullopt when it failed or was interrupted.
std::optional<DWORD> finish(HANDLE handle, OVERLAPPED& operation, BOOL started, const Interrupt* interrupt) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) return std::nullopt;
    if (interrupt != nullptr) {
        const HANDLE events[2] = {operation.hEvent, interrupt->native().event};
        if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) ::CancelIo(handle);
    }
    DWORD moved = 0;
    if (!::GetOverlappedResult(handle, &operation, &moved, TRUE)) {
        // Some drivers (and Wine) end a timed-out read as a failure with
        // what it got; a time-out is no failure of the line.
        const DWORD error = ::GetLastError();
        if (error != ERROR_SEM_TIMEOUT && error != ERROR_TIMEOUT && error != WAIT_TIMEOUT) return std::nullopt;
    }
    if (interrupt != nullptr && interrupt->raised()) return std::nullopt;
    return moved;
}

}  // namespace

bool SerialPort::drain(std::chrono::milliseconds limit, const Interrupt* interrupt) {
    // A read of one byte that ends on the quiet time: it keeps coming back
    // with a byte while the line is busy.
    COMMTIMEOUTS quiet{};
    quiet.ReadTotalTimeoutConstant = static_cast<DWORD>(quiet_time(native_->rate).count());
    quiet.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteTimeout.count());
    if (!::SetCommTimeouts(native_->handle, &quiet)) return false;
    const ULONGLONG give_up = ::GetTickCount64() + static_cast<ULONGLONG>(limit.count());
    bool ok = true;
    for (;;) {
        if (!::PurgeComm(native_->handle, PURGE_RXCLEAR)) {
            ok = false;
            break;
        }
        unsigned char byte = 0;
        OVERLAPPED read{};
        read.hEvent = native_->io_done;
        ::ResetEvent(native_->io_done);
        const auto got = finish(native_->handle, read, ::ReadFile(native_->handle, &byte, 1, nullptr, &read), interrupt);
        if (!got) {
            ok = false;
            break;
        }
        if (*got == 0 || ::GetTickCount64() >= give_up) break;
    }
    COMMTIMEOUTS timeouts = link_timeouts(native_->options);
    return ::SetCommTimeouts(native_->handle, &timeouts) && ok;
}

bool SerialPort::set_read_timeout(std::chrono::milliseconds wait) {
    native_->options.read_timeout = wait;
    COMMTIMEOUTS timeouts = link_timeouts(native_->options);
    return ::SetCommTimeouts(native_->handle, &timeouts) != 0;
}

std::optional<std::size_t> SerialPort::poll(ReceiveBuffer& buffer, const Interrupt* interrupt) {
    buffer[0] = kEnq;
    buffer[1] = 0;
    OVERLAPPED write{};
    write.hEvent = native_->io_done;
    ::ResetEvent(native_->io_done);
    if (!finish(native_->handle, write, ::WriteFile(native_->handle, buffer.data(), 1, nullptr, &write), interrupt)) {
        return std::nullopt;
    }
    const std::size_t frame = native_->options.frame_size;
    const DWORD wanted = static_cast<DWORD>(frame > 0 && frame < buffer.size() ? frame : buffer.size());
    OVERLAPPED read{};
    read.hEvent = native_->io_done;
    ::ResetEvent(native_->io_done);
    const auto received = finish(native_->handle, read, ::ReadFile(native_->handle, buffer.data(), wanted, nullptr, &read),
                                 interrupt);
    if (!received) return std::nullopt;
    return *received;
}

}  // namespace Wsr37100
