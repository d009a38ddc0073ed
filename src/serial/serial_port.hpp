// The serial connection to the scale: open and configure, poll with ENQ, close.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Wsr37100 {

class Interrupt;

inline constexpr unsigned char kEnq = 0x05;
inline constexpr std::size_t kReceiveBufferSize = 8;
inline constexpr std::chrono::milliseconds kReadTimeout{1000};
inline constexpr std::chrono::milliseconds kWriteTimeout{1000};
inline constexpr unsigned long kQueueSize = 256;

using ReceiveBuffer = std::array<unsigned char, kReceiveBufferSize>;

// How the link reads. A gap of zero is the module's own read: it returns on 8
// bytes or after kReadTimeout. With a gap, a read that has some bytes also
// returns when no further byte comes within the gap.
struct LinkOptions {
    std::chrono::milliseconds gap{0};
    // The frame the scale sends, 7 or 8 bytes: a read ends as soon as that
    // many bytes came. 0: any, the read ends at 8 bytes (or by time).
    std::size_t frame_size = 0;
    // Where serial programs keep their UUCP lock files ("LCK..ttyUSB0").
    std::string lock_folder = "/var/lock";
};

// Why a port could not be opened or configured.
enum class PortProblem { Missing, Permission, Busy, SettingsRefused, NameRefused, Other };

struct PortUnavailable {
    PortProblem problem = PortProblem::Other;
    unsigned long system_error = 0;  // errno or GetLastError(); 0 when the module itself refused
    std::string message;             // Portuguese 8-bit text naming the device path and the reason
};

class SerialPort;

// What an open gives: a port, or why there is none.
struct OpenResult {
    std::unique_ptr<SerialPort> port;
    PortUnavailable failure;
    explicit operator bool() const { return port != nullptr; }
};

// One open, configured port. Closing happens in the destructor, so the port is
// closed on every way out of the call that opened it. Not shared between threads.
class SerialPort {
public:
    // Checks that the name is a serial line, opens it exclusively, sets the
    // baud rate, 8 data bits, no parity, one stop bit, no software flow control
    // and the time-outs (every other setting stays as the device had it) and
    // discards whatever was waiting in its input queue. Returns the port, or
    // no port and the reason when any step fails (no such port, no
    // permission, busy, settings refused, not a serial line). Throws Falha when
    // the baud text is not a whole number; that is checked after the port
    // opened, and the port is closed again before the exception leaves.
    static OpenResult open(std::string_view device_name, std::string_view baud_text, LinkOptions options = {});

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort();

    // Puts ENQ and a zero byte into the first two places of the buffer, sends
    // ENQ and reads up to 8 bytes into the buffer. Returns the number of bytes
    // read (0 when the scale said nothing in time), or nullopt when the write
    // or the read failed (a hang-up included) or the interrupt was raised,
    // which ends any wait at once.
    std::optional<std::size_t> poll(ReceiveBuffer& buffer, const Interrupt* interrupt = nullptr);

    // Reads and drops bytes until the line has been quiet for three
    // characters' time (at the port's baud rate), for at most the read
    // time-out: the tail of a reply still on its way must not shift the next
    // reply's bytes. False when the port failed or the interrupt was raised.
    bool drain(const Interrupt* interrupt = nullptr);

    struct Native;

private:
    explicit SerialPort(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

// Three characters' time at the rate (10 bits a character), at least 2 ms:
// a pause that long means the sender is done.
inline std::chrono::milliseconds quiet_time(std::int32_t rate) {
    const long long ms = rate > 0 ? (30'000LL + rate - 1) / rate : 2;
    return std::chrono::milliseconds(ms < 2 ? 2 : ms);
}

// Device naming. The trailing ":" of the module's device name is dropped.
// Windows: "\\.\" + name, so that COM10 and above open too ("\\.\..." stays as is).
// Any other name starting with "\\" (a network path, or "\\?\") gives an
// empty text: such names are refused.
std::string windows_device_path(std::string_view device_name);
// POSIX: "COMn" (any case) is /dev/ttyS(n-1), "/..." is used as given, any
// other name is taken under /dev/.
std::string posix_device_path(std::string_view device_name);

}  // namespace Wsr37100
