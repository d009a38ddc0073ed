// The scale emulator's pseudo-terminal, its reply script and its thread.
#include "scale_emulator.hpp"
#include "line_speed.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace Wsr37100 {

namespace {
constexpr char kStxChar = '\x02';
constexpr char kEtxChar = '\x03';
constexpr unsigned char kEnqByte = 0x05;

std::string hex(const std::string& bytes) {
    std::string text;
    char byte[4];
    for (unsigned char c : bytes) {
        std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ", c);
        text += byte;
    }
    return text;
}
}  // namespace

ScaleReply ScaleReply::bytes(std::string bytes) { return ScaleReply{{{std::chrono::milliseconds(0), std::move(bytes)}}}; }
ScaleReply ScaleReply::held(std::string bytes) {
    return ScaleReply{{{std::chrono::milliseconds(0), std::move(bytes), true}}};
}
ScaleReply ScaleReply::silence() { return ScaleReply{}; }
ScaleReply ScaleReply::after(std::chrono::milliseconds delay, std::string bytes) {
    return ScaleReply{{{delay, std::move(bytes)}}};
}
ScaleReply ScaleReply::split(std::string bytes, std::size_t at, std::chrono::milliseconds pause) {
    return ScaleReply{{{std::chrono::milliseconds(0), bytes.substr(0, at)}, {pause, bytes.substr(at)}}};
}
ScaleReply ScaleReply::hangup() {
    ScaleReply reply;
    reply.hang_up = true;
    return reply;
}

std::string ScaleReply::describe() const {
    if (chunks.empty()) return hang_up ? "hang-up" : "silence";
    std::string text;
    for (const auto& chunk : chunks) {
        if (!text.empty()) text += " | ";
        if (chunk.pause.count() > 0) text += "after " + std::to_string(chunk.pause.count()) + " ms: ";
        text += hex(chunk.bytes) + " (" + std::to_string(chunk.bytes.size()) + " bytes)";
    }
    if (hang_up) text += " then hang-up";
    return text;
}

std::string fixed_frame(std::string_view five) { return kStxChar + std::string(five) + kEtxChar; }

std::string fixed_frame_for(double kilograms) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05ld", std::lround(kilograms * 1000.0));
    return fixed_frame(digits);
}

std::string delimited_frame(std::string_view six) { return kStxChar + std::string(six) + kEtxChar; }

std::string delimited_frame_for(double kilograms) {
    char text[32];
    std::snprintf(text, sizeof text, "%6.3f", kilograms);
    if (std::string(text).size() > 6) std::snprintf(text, sizeof text, "%6.2f", kilograms);
    return delimited_frame(std::string(text).substr(0, 6));
}

ScaleEmulator::ScaleEmulator(std::vector<ScaleReply> script, bool repeat)
    : script_(std::move(script)), repeat_(repeat) {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "openpty");
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    device_path_ = ::ttyname(slave_);
    if (::pipe2(wake_, O_CLOEXEC) != 0 || ::pipe2(release_, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    thread_ = std::thread(&ScaleEmulator::run, this);
}

ScaleEmulator::~ScaleEmulator() {
    vanish();
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::close(release_[0]);
    ::close(release_[1]);
}

void ScaleEmulator::release() {
    const char one = 1;
    (void)!::write(release_[1], &one, 1);
}

int ScaleEmulator::unread() const {
    int count = 0;
    return master_ >= 0 && ::ioctl(master_, FIONREAD, &count) == 0 ? count : 0;
}

void ScaleEmulator::on_poll(std::function<void(int, const ScaleReply&)> observer) {
    std::lock_guard lock(observer_lock_);
    observer_ = std::move(observer);
}

void ScaleEmulator::pace(unsigned baud) { byte_time_us_ = baud == 0 ? 0 : static_cast<long>(10'000'000 / baud); }

void ScaleEmulator::line_speed(unsigned baud) { line_speed_ = baud; }

ScaleReply garbled(const ScaleReply& reply, unsigned port_baud, unsigned scale_baud) {
    ScaleReply wrong = reply;
    for (auto& chunk : wrong.chunks) {
        if (chunk.bytes.empty()) continue;
        const std::size_t count =
            std::max<std::size_t>(1, chunk.bytes.size() * std::max(1u, port_baud) / std::max(1u, scale_baud));
        std::string bytes(count, '\0');
        for (std::size_t i = 0; i < count; ++i) {
            // A stretched or squeezed start bit reads as a run of low bits with the high ones set.
            bytes[i] = static_cast<char>(0x80 | (static_cast<unsigned char>(chunk.bytes[i % chunk.bytes.size()]) >> 1));
        }
        chunk.bytes = std::move(bytes);
    }
    return wrong;
}

void ScaleEmulator::replace_script(std::vector<ScaleReply> script) {
    std::lock_guard lock(script_lock_);
    script_ = std::move(script);
    next_ = 0;
}

void ScaleEmulator::say(const std::string& bytes) {
    play(ScaleReply::bytes(bytes));
}

void ScaleEmulator::close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void ScaleEmulator::vanish() {
    stopping_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
    if (thread_.joinable()) thread_.join();
    close_master();
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

termios ScaleEmulator::line_settings() const {
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return settings;
}

void ScaleEmulator::set_line_settings(const termios& settings) { ::tcsetattr(slave_, TCSANOW, &settings); }

unsigned ScaleEmulator::line_baud_rate() const { return baud_rate_of(slave_); }

bool ScaleEmulator::sleep_or_stop(std::chrono::milliseconds pause) {
    pollfd wake{wake_[0], POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(pause.count()));
    return !stopping_;
}

void ScaleEmulator::play(const ScaleReply& reply) {
    for (const auto& chunk : reply.chunks) {
        if (chunk.pause.count() > 0 && !sleep_or_stop(chunk.pause)) return;
        if (chunk.held) {
            pollfd watched[2] = {{release_[0], POLLIN, 0}, {wake_[0], POLLIN, 0}};
            while (::poll(watched, 2, -1) < 0 && errno == EINTR) {
            }
            if (stopping_ || !(watched[0].revents & POLLIN)) return;
            char one = 0;
            (void)!::read(release_[0], &one, 1);
        }
        const std::chrono::microseconds byte_time(byte_time_us_.load());
        std::size_t sent = 0;
        while (sent < chunk.bytes.size()) {
            // Against the line's own clock, so that sleeping late does not add up.
            if (byte_time.count() > 0) {
                wire_clock_ = std::max(wire_clock_, std::chrono::steady_clock::now() - byte_time) + byte_time;
                std::this_thread::sleep_until(wire_clock_);
            }
            const std::size_t size = byte_time.count() > 0 ? 1 : chunk.bytes.size() - sent;
            const ssize_t n = ::write(master_, chunk.bytes.data() + sent, size);
            if (n <= 0 && errno != EINTR && errno != EAGAIN) return;
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
    }
    if (reply.hang_up) close_master();
}

void ScaleEmulator::run() {
    while (!stopping_ && master_ >= 0) {
        pollfd watched[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[1].revents) return;
        if (!(watched[0].revents & POLLIN)) {
            // Nobody holds the port open right now; look again shortly.
            if (!sleep_or_stop(std::chrono::milliseconds(5))) return;
            continue;
        }
        unsigned char incoming[64];
        const ssize_t n = ::read(master_, incoming, sizeof incoming);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n && master_ >= 0; ++i) {
            if (incoming[i] != kEnqByte) continue;
            const int poll_number = ++polls_;
            ScaleReply reply = ScaleReply::silence();
            {
                std::lock_guard lock(script_lock_);
                if (next_ < script_.size()) {
                    reply = script_[next_++];
                    if (repeat_ && next_ == script_.size()) next_ = 0;
                }
            }
            {
                std::lock_guard lock(observer_lock_);
                if (observer_) observer_(poll_number, reply);
            }
            if (const unsigned own = line_speed_.load(); own != 0) {
                if (const unsigned port = line_baud_rate(); port != own) reply = garbled(reply, port, own);
            }
            // The ENQ's own time on the wire; the reply starts when it is in.
            wire_clock_ = std::chrono::steady_clock::now() + std::chrono::microseconds(byte_time_us_.load());
            play(reply);
        }
    }
}

}  // namespace Wsr37100
