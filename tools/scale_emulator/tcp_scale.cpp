// The emulator's TCP face: a listener on loopback and a thread that plays the script.
#include "tcp_scale.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace Wsr37100 {

namespace {

constexpr unsigned char kEnqByte = 0x05;

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
    : script_(std::move(script)), repeat_(repeat), greeting_(std::move(greeting)) {
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
        case Face::EndlessSubnegotiation:
            if (face == Face::EndlessSubnegotiation) {
                flood_opening_ = "\xFF\xFA\x2C\x65";
                flood_.assign(4096, '\xFF');
            }
            [[fallthrough]];
        case Face::Answer:
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
        if (!flood_.empty()) {
            flood(connection);
        } else {
            serve(connection);
        }
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
    ::close(connection);
}

// Answers ENQs on one connection until the client closes it or a reply hangs up.
void TcpScale::serve(int connection) {
    bool open = !greeting_ || play(connection, *greeting_);
    while (open && wait_for_either(connection, wake_[0])) {
        unsigned char incoming[64];
        const ssize_t n = ::recv(connection, incoming, sizeof incoming, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && open; ++i) {
            if (incoming[i] != kEnqByte) continue;
            ++polls_;
            ScaleReply reply = ScaleReply::silence();
            if (next_ < script_.size()) {
                reply = script_[next_++];
                if (repeat_ && next_ == script_.size()) next_ = 0;
            }
            open = play(connection, reply);
        }
    }
    ::close(connection);
}

// Sends a reply's chunks after their pauses; false when the connection is to end.
bool TcpScale::play(int connection, const ScaleReply& reply) {
    for (const auto& chunk : reply.chunks) {
        if (chunk.pause.count() > 0 && !wait_for_either(-1, wake_[0], static_cast<int>(chunk.pause.count()))) return false;
        (void)!::send(connection, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL);
    }
    return !reply.hang_up;
}

}  // namespace Wsr37100
