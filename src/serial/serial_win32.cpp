// The serial connection on Windows: kernel32's communications calls, in the scale's order.
#include <windows.h>

#include "log/system_reason.hpp"
#include "replies/conversions.hpp"
#include "serial/serial_port.hpp"

namespace Wsr37100 {

struct SerialPort::Native {
    HANDLE handle = INVALID_HANDLE_VALUE;

    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};

namespace {

// All time-outs of the link, in one record.
COMMTIMEOUTS link_timeouts(LinkOptions options) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(options.gap.count());
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kReadTimeout.count());
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteTimeout.count());
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

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

OpenResult unavailable(const std::string& path, DWORD error) {
    const PortProblem problem = problem_of(error);
    const std::string reason = problem == PortProblem::Busy ? "em uso por outro programa" : system_reason(error);
    return OpenResult{nullptr, {problem, error, "N\xE3o foi poss\xEDvel abrir a porta " + quoted(path) + ": " + reason}};
}

OpenResult refused_name(const std::string& path, const std::string& reason) {
    return OpenResult{nullptr, {PortProblem::NameRefused, 0, "Porta recusada " + quoted(path) + ": " + reason}};
}

OpenResult settings_refused(const std::string& path, std::int32_t rate, DWORD error) {
    return OpenResult{nullptr, {PortProblem::SettingsRefused, error,
                                "A porta " + quoted(path) + " recusou a configura\xE7\xE3o de " + std::to_string(rate) +
                                    " baud: " + system_reason(error)}};
}

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SerialPort::~SerialPort() = default;

OpenResult SerialPort::open(std::string_view device_name, std::string_view baud_text, LinkOptions options) {
    // "\\.\COM10" opens where "COM10:" would not.
    const std::string path = windows_device_path(device_name);
    if (path.empty()) {
        return refused_name(std::string(device_name.substr(0, device_name.size() - (device_name.ends_with(':') ? 1 : 0))),
                            "caminho de rede ou de arquivo, n\xE3o uma porta serial");
    }
    auto native = std::make_unique<Native>();
    native->handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (native->handle == INVALID_HANDLE_VALUE) return unavailable(path, ::GetLastError());

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(native->handle, &settings)) return refused_name(path, "n\xE3o \xE9 uma porta serial");
    const std::int32_t rate = whole_number_conversion(baud_text);
    if (rate <= 0) return settings_refused(path, rate, ERROR_INVALID_PARAMETER);
    settings.BaudRate = static_cast<DWORD>(rate);
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;

    if (!::SetupComm(native->handle, kQueueSize, kQueueSize)) return unavailable(path, ::GetLastError());
    if (!::SetCommState(native->handle, &settings)) return settings_refused(path, rate, ::GetLastError());
    COMMTIMEOUTS timeouts = link_timeouts(options);
    if (!::SetCommTimeouts(native->handle, &timeouts)) return unavailable(path, ::GetLastError());
    // Bytes that waited for us are no answer to this call's poll.
    if (!::PurgeComm(native->handle, PURGE_RXCLEAR)) return unavailable(path, ::GetLastError());
    return OpenResult{std::unique_ptr<SerialPort>(new SerialPort(std::move(native))), {}};
}

std::optional<std::size_t> SerialPort::poll(ReceiveBuffer& buffer) {
    buffer[0] = kEnq;
    buffer[1] = 0;
    DWORD written = 0;
    if (!::WriteFile(native_->handle, buffer.data(), 1, &written, nullptr)) return std::nullopt;
    DWORD received = 0;
    if (!::ReadFile(native_->handle, buffer.data(), static_cast<DWORD>(buffer.size()), &received, nullptr)) {
        return std::nullopt;
    }
    return received;
}

}  // namespace Wsr37100
