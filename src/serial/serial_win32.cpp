// The serial connection on Windows: kernel32's communications calls, in the scale's order.
#include <windows.h>

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

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Native> native) : native_(std::move(native)) {}
SerialPort::~SerialPort() = default;

std::unique_ptr<SerialPort> SerialPort::open(std::string_view device_name, std::string_view baud_text,
                                             LinkOptions options) {
    auto native = std::make_unique<Native>();
    // "\\.\COM10" opens where "COM10:" would not.
    const std::string path = windows_device_path(device_name);
    native->handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (native->handle == INVALID_HANDLE_VALUE) return nullptr;

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(native->handle, &settings)) return nullptr;
    const std::int32_t rate = whole_number_conversion(baud_text);
    if (rate <= 0) return nullptr;
    settings.BaudRate = static_cast<DWORD>(rate);
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;

    if (!::SetupComm(native->handle, kQueueSize, kQueueSize)) return nullptr;
    if (!::SetCommState(native->handle, &settings)) return nullptr;
    COMMTIMEOUTS timeouts = link_timeouts(options);
    if (!::SetCommTimeouts(native->handle, &timeouts)) return nullptr;
    return std::unique_ptr<SerialPort>(new SerialPort(std::move(native)));
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
