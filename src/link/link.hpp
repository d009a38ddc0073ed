// The link to the scale, whatever carries it: a serial port, raw TCP or RFC 2217.
#pragma once

#include <array>
#include <chrono>
#include <concepts>
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
    // How long a poll waits for the first byte of the reply.
    std::chrono::milliseconds read_timeout = kReadTimeout;
    // A probe of a port that is not ours: the port's settings as it had them
    // are put back when it closes, and a port that another program holds open
    // (where the system tells) is refused as busy before it is opened.
    bool as_guest = false;
};

// Why a port could not be opened or configured. The network adds its own.
enum class PortProblem {
    Missing,
    Permission,
    Busy,
    SettingsRefused,
    NameRefused,
    Other,
    HostNotFound,
    ConnectionRefused,
    ConnectTimedOut,
    ConnectionDropped,  // the link opened, then a poll found the connection gone
    // A server took the connection, then did not answer its negotiation in time
    // (a host sees it as settings refused; a probe tells it apart from a refused rate).
    NegotiationUnanswered,
};

struct PortUnavailable {
    PortProblem problem = PortProblem::Other;
    unsigned long system_error = 0;  // errno or GetLastError(); 0 when the module itself refused
    std::string message;             // Portuguese 8-bit text naming the device path and the reason
};

class Link;

// What an open gives: a port, or why there is none.
struct OpenResult {
    std::unique_ptr<Link> port;
    PortUnavailable failure;
    explicit operator bool() const { return port != nullptr; }
};

// One open, configured link. Closing happens in the destructor, so it is
// closed on every way out of the call that opened it. Not shared between threads.
class Link {
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    virtual ~Link() = default;

    // Puts ENQ and a zero byte into the first two places of the buffer, sends
    // ENQ and reads up to 8 bytes into the buffer (fewer with a frame size):
    // the read ends at that many bytes, after the gap once bytes came, or
    // after kReadTimeout. Returns the number of bytes read (0 when the scale
    // said nothing in time), or nullopt when the write or the read failed (a
    // hang-up, a dropped connection) or the interrupt was raised, which ends
    // any wait at once.
    virtual std::optional<std::size_t> poll(ReceiveBuffer& buffer, const Interrupt* interrupt = nullptr) = 0;

    // Reads and drops bytes until the line has been quiet for three
    // characters' time, for at most `limit`: the tail of a reply still on its
    // way must not shift the next reply's bytes. A line still busy at the
    // limit is no failure (true). False when the link failed or the interrupt
    // was raised.
    virtual bool drain(std::chrono::milliseconds limit, const Interrupt* interrupt) = 0;
    // The same, for at most the read time-out.
    bool drain(const Interrupt* interrupt = nullptr) { return drain(kReadTimeout, interrupt); }

    // How long the polls from now on wait for the first byte of a reply (as
    // LinkOptions::read_timeout at the open). False when the port refused it.
    virtual bool set_read_timeout(std::chrono::milliseconds wait) = 0;

    // Why the last poll or drain failed, where the link knows more than
    // "it failed" (a dropped connection).
    virtual std::optional<PortUnavailable> failure() const { return std::nullopt; }
};

// The baud rate an open sets: a number, or a host's text, read only once the
// port is open (a port's own failure is told before a bad text).
class BaudRate {
public:
    BaudRate(std::int32_t rate) : rate_(rate) {}
    template <class Text>
        requires std::convertible_to<const Text&, std::string_view>
    BaudRate(const Text& text) : text_(std::string_view(text)), from_text_(true) {}

    // The rate. Throws Falha quoting the text when it is not a whole number within int32.
    std::int32_t value() const;

private:
    std::int32_t rate_ = 0;
    std::string text_;
    bool from_text_ = false;
};

// Three characters' time at the rate (10 bits a character), at least 2 ms:
// a pause that long means the sender is done.
inline std::chrono::milliseconds quiet_time(std::int32_t rate) {
    const long long ms = rate > 0 ? (30'000LL + rate - 1) / rate : 2;
    return std::chrono::milliseconds(ms < 2 ? 2 : ms);
}

// The read loop every link shares. `source` waits and reads:
//   int wait(const Deadline&, std::chrono::milliseconds cap): >0 readable, 0 time-out, <0 failed or interrupted;
//   std::optional<std::size_t> read(unsigned char*, std::size_t): bytes read (0: none yet), nullopt: failed.
// Returns what came, or nullopt on a failure.
template <class Source, class Deadline>
std::optional<std::size_t> read_reply_bytes(Source& source, unsigned char* into, std::size_t wanted,
                                            std::chrono::milliseconds gap, const Deadline& limit) {
    std::size_t received = 0;
    while (received < wanted) {
        const bool gap_applies = received > 0 && gap.count() > 0;
        if (limit.expired()) break;
        const int ready = source.wait(limit, gap_applies ? gap : kReadTimeout);
        if (ready < 0) return std::nullopt;
        if (ready == 0) {
            if (gap_applies) break;
            continue;  // the deadline decides
        }
        const auto got = source.read(into + received, wanted - received);
        if (!got) return std::nullopt;
        received += *got;
    }
    return received;
}

// The bytes a read asks for: the frame's size when one is set, else the buffer's.
inline std::size_t wanted_bytes(const LinkOptions& options) {
    return options.frame_size > 0 && options.frame_size < kReceiveBufferSize ? options.frame_size : kReceiveBufferSize;
}

}  // namespace Wsr37100
