// Finding the scale on a port: which rate it answers at, and which frame it sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/interrupt.hpp"
#include "link/link.hpp"
#include "replies/replies.hpp"

namespace Wsr37100 {

// The rates tried when none are named: the ones retail scales ship with.
inline constexpr std::int32_t kDetectionRates[] = {2400, 4800, 9600, 19200};
inline constexpr std::chrono::milliseconds kDefaultDetectionBudget{3000};
// How long a scale may take, once the ENQ is in, before its reply starts.
inline constexpr std::chrono::milliseconds kScaleTurnaround{200};
// A USB adapter hands what it received to the host in bursts (an FTDI chip
// every 16 ms): a pause that short inside a reply is no end of it.
inline constexpr std::chrono::milliseconds kAdapterLatency{50};
// How much longer than its reply's time a poll waits before its silence is
// believed, as far as the budget leaves room: a busy machine may run the
// scale's side, or the reading of its reply, late.
inline constexpr std::chrono::milliseconds kSilenceConfirmation{500};

// What one rate gave.
enum class LineVerdict {
    Frame,        // a well-formed frame, and one of the same size on the poll that confirms it
    Garbage,      // bytes that are no frame: a wrong rate, or a frame that never closes
    Silence,      // nothing within the wait
    RateRefused,  // the device would not take the rate
    Failed,       // the line failed (a hang-up, a dropped connection)
    Unanswered,   // a network server took the connection, then did not answer its negotiation
};

struct RateTrial {
    std::int32_t rate = 0;
    LineVerdict verdict = LineVerdict::Silence;
    std::size_t frame = 0;  // with Frame: 7 or 8
    std::size_t bytes = 0;  // what the poll that decided got
    ReceiveBuffer reply{};
};

enum class DetectionResult { Found, NotFound, PortUnavailable, NoRateToSet, TimedOut };

struct Detection {
    DetectionResult result = DetectionResult::NotFound;
    std::vector<RateTrial> trials;  // in the order tried
    std::int32_t rate = 0;          // with Found
    std::size_t frame = 0;          // with Found: 7 or 8
    Decoded said;                   // with Found: the reading the last frame gives, as BuscaPeso would
    ReceiveBuffer reply{};          // with Found: the last frame
    PortUnavailable port_failure;   // with PortUnavailable
    std::string message;            // Portuguese 8-bit: what was found, or why nothing was
};

// "2400,4800" as rates; an empty text is the default list. Throws Falha for
// anything but positive whole numbers within int32 separated by commas, or
// more than 16 of them.
std::vector<std::int32_t> detection_rates(std::string_view text);

// The time a reply at the rate takes: the ENQ and eight bytes on the wire,
// plus the scale's turnaround. A poll waits that long, and where a late
// reply may be missed (see detect_scale) kSilenceConfirmation more.
std::chrono::milliseconds reply_wait(std::int32_t rate);

// The verdict on one poll's bytes: a frame (STX, five or six printable
// characters, ETX; its size in `frame`), garbage, or silence.
LineVerdict classify(std::span<const unsigned char> bytes, std::size_t& frame);

// Probes the port at each rate in turn, as a guest: a serial port another
// program holds is refused unopened, and its settings are put back afterwards
// (an RFC 2217 server's port is left at the last rate tried). Before each
// poll, what the line still carries (a late reply to an earlier poll) is
// dropped. A rate is found when a well-formed frame is confirmed by a second
// poll at that rate, asked after the line is cleared and waited for up to
// kSilenceConfirmation longer, with a frame of the same size. The first poll
// waits that longer wait too; while the port has given no byte, each further
// rate is taken for silent after its reply's time. Once bytes came (a scale
// that answers late), every rate taken for silent before is tried again at
// once, and each first poll waits the longer wait. A rate is tried only while the budget holds both its polls'
// reply times; a silence the budget cut short of its wait ends it as
// time-out, so the budget holds but for opening the port (a network connect
// may take its own time-out); an interrupt ends it as time-out before the
// next rate. A rate tried twice is in `trials` twice.
// Throws nothing; writes no log. `base` carries the lock folder.
Detection detect_scale(std::string_view port, std::span<const std::int32_t> rates, std::chrono::milliseconds budget,
                       LinkOptions base = {}, const Interrupt* interrupt = nullptr);

// One rate's outcome in a few words ("9600: quadro de 7 bytes").
std::string describe(const RateTrial& trial);

}  // namespace Wsr37100
