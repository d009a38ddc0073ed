// The emulator's TCP face: a listener on loopback and a thread that plays the script.
#include "tcp_scale.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace Wsr37100 {

namespace {

constexpr unsigned char kEnqByte = 0x05;
constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWill = 251, kSb = 250, kSe = 240, kComPort = 44;
constexpr unsigned char kSetBaudRate = 1;
constexpr unsigned char kPurgeData = 12;
enum TelnetState { kData, kAfterIac, kAfterWill, kAfterOtherVerb, kInSub, kInSubAfterIac };

std::string escaped(const std::string& bytes) {
    std::string wire;
    for (char c : bytes) {
        wire += c;
        if (static_cast<unsigned char>(c) == kIac) wire += c;
    }
    return wire;
}

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

int bound_listener(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) fail("bind");
    if (backlog >= 0 && ::listen(fd, backlog) != 0) fail("listen");
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

// Waits for one of two descriptors; false when the wake pipe spoke first.
bool wait_for_either(int fd, int wake, int timeout_ms = -1) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    while (::poll(entries, 2, timeout_ms) < 0) {
        if (errno != EINTR) return false;
    }
    return !(entries[1].revents & POLLIN);
}

}  // namespace

TcpScale::TcpScale(std::vector<ScaleReply> script, bool repeat, Face face, std::optional<ScaleReply> greeting)
    : script_(std::move(script)), repeat_(repeat), greeting_(std::move(greeting)), face_(face),
      telnet_(face == Face::Rfc2217 || face == Face::Rfc2217Refusing || face == Face::Rfc2217OtherRate ||
              face == Face::Rfc2217Unacknowledged || face == Face::Rfc2217Streaming) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) fail("pipe");
    switch (face) {
        case Face::Refuse:
            ::close(bound_listener(-1, port_));  // the port was free a moment ago and nobody listens on it
            return;
        case Face::Unanswered: {
            listener_ = bound_listener(0, port_);
            // Fill the queue; the kernel drops further connection requests.
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port_));
            for (int i = 0; i < 2; ++i) {
                const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
                fillers_.push_back(filler);
            }
            ::usleep(50'000);
            return;
        }
        case Face::Flood:
            flood_.assign(4096, '\x55');
            [[fallthrough]];
        case Face::Rfc2217Streaming:
            if (face == Face::Rfc2217Streaming) flood_.assign(4096, '\x80');
            [[fallthrough]];
        case Face::EndlessSubnegotiation:
            if (face == Face::EndlessSubnegotiation) {
                flood_opening_ = "\xFF\xFA\x2C\x65";
                flood_.assign(4096, '\xFF');
            }
            [[fallthrough]];
        case Face::Answer:
        case Face::Rfc2217:
        case Face::Rfc2217Refusing:
        case Face::Rfc2217OtherRate:
        case Face::Rfc2217Unacknowledged:
            listener_ = bound_listener(4, port_);
            thread_ = std::thread(&TcpScale::run, this);
            return;
    }
}

TcpScale::~TcpScale() {
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
    if (thread_.joinable()) thread_.join();
    for (int filler : fillers_) ::close(filler);
    if (listener_ >= 0) ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void TcpScale::run() {
    while (wait_for_either(listener_, wake_[0])) {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        if (face_ == Face::Flood || face_ == Face::EndlessSubnegotiation) {
            flood(connection);
        } else {
            serve(connection);
        }
        ::close(connection);
    }
}

// Data as fast as the client takes it, until it goes or the scale stops.
void TcpScale::flood(int connection) {
    std::string data = flood_opening_ + flood_;
    for (;;) {
        pollfd entries[2] = {{connection, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR) break;
        if (entries[1].revents & POLLIN) break;
        if (entries[0].revents & POLLOUT) {
            const ssize_t sent = ::send(connection, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN) break;
            if (sent > 0) {
                data.erase(0, static_cast<std::size_t>(sent));
                if (data.empty()) data = flood_;
            }
        }
        if (entries[0].revents & (POLLERR | POLLHUP)) break;
    }
}

// Answers ENQs on one connection until the client closes it or a reply hangs up.
void TcpScale::serve(int connection) {
    telnet_state_ = kData;
    sub_.clear();
    set_rate_ = 0;
    purged_ = false;
    bool open = !greeting_ || play(connection, *greeting_);
    while (open && wait_for_either(connection, wake_[0])) {
        unsigned char incoming[64];
        const ssize_t n = ::recv(connection, incoming, sizeof incoming, 0);
        if (n <= 0) break;
        int enqs = 0;
        if (telnet_) {
            const std::string answer = negotiate(incoming, static_cast<std::size_t>(n), enqs);
            (void)!::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (purged_ && face_ == Face::Rfc2217Streaming) return flood(connection);
        } else {
            enqs = static_cast<int>(std::count(incoming, incoming + n, kEnqByte));
        }
        for (; enqs > 0 && open; --enqs) {
            ++polls_;
            ScaleReply reply = ScaleReply::silence();
            if (next_ < script_.size()) {
                reply = script_[next_++];
                if (repeat_ && next_ == script_.size()) next_ = 0;
            }
            if (const unsigned own = line_speed_.load(); own != 0 && set_rate_ != own) reply = garbled(reply, set_rate_, own);
            open = play(connection, reply);
        }
    }
}

std::string TcpScale::negotiate(const unsigned char* incoming, std::size_t size, int& enqs) {
    std::string answer;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = incoming[i];
        switch (telnet_state_) {
            case kData:
                if (b == kIac) {
                    telnet_state_ = kAfterIac;
                } else if (b == kEnqByte) {
                    ++enqs;
                }
                break;
            case kAfterIac:
                if (b == kWill) {
                    telnet_state_ = kAfterWill;
                } else if (b == kSb) {
                    sub_.clear();
                    telnet_state_ = kInSub;
                } else if (b > kSb && b <= kDont) {  // WONT, DO, DONT: nothing to answer
                    telnet_state_ = kAfterOtherVerb;
                } else {
                    telnet_state_ = kData;  // an escaped 0xFF (data, and no ENQ), NOP and the like
                }
                break;
            case kAfterWill:
                if (b == kComPort) answer += std::string{char(kIac), char(face_ == Face::Rfc2217Refusing ? kDont : kDo), char(kComPort)};
                telnet_state_ = kData;
                break;
            case kAfterOtherVerb:
                telnet_state_ = kData;
                break;
            case kInSub:
                if (b == kIac) {
                    telnet_state_ = kInSubAfterIac;
                } else {
                    sub_ += static_cast<char>(b);
                }
                break;
            case kInSubAfterIac:
                if (b == kIac) {
                    sub_ += static_cast<char>(b);
                    telnet_state_ = kInSub;
                    break;
                }
                telnet_state_ = kData;
                if (b != kSe || sub_.size() < 2 || static_cast<unsigned char>(sub_[0]) != kComPort ||
                    face_ == Face::Rfc2217Unacknowledged) {
                    break;
                }
                const auto command = static_cast<unsigned char>(sub_[1]);
                std::string value = sub_.substr(2);
                if (command == kSetBaudRate && value.size() == 4) {
                    set_rate_ = (static_cast<unsigned>(static_cast<unsigned char>(value[0])) << 24) |
                                (static_cast<unsigned>(static_cast<unsigned char>(value[1])) << 16) |
                                (static_cast<unsigned>(static_cast<unsigned char>(value[2])) << 8) |
                                static_cast<unsigned>(static_cast<unsigned char>(value[3]));
                }
                if (command == kPurgeData) purged_ = true;
                if (command == kSetBaudRate && face_ == Face::Rfc2217OtherRate) value = std::string("\0\0\x4B\0", 4);  // 19200
                answer += std::string{char(kIac), char(kSb), char(kComPort), char(command + 100)} + escaped(value) +
                          std::string{char(kIac), char(kSe)};
                break;
        }
    }
    return answer;
}

// Sends a reply's chunks after their pauses; false when the connection is to end.
bool TcpScale::play(int connection, const ScaleReply& reply) {
    for (const auto& chunk : reply.chunks) {
        if (chunk.pause.count() > 0 && !wait_for_either(-1, wake_[0], static_cast<int>(chunk.pause.count()))) return false;
        const std::string bytes = telnet_ ? escaped(chunk.bytes) : chunk.bytes;
        (void)!::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    return !reply.hang_up;
}

}  // namespace Wsr37100
