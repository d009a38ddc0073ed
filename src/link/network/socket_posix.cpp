// A TCP connection on POSIX: non-blocking connect against a deadline, poll()-timed I/O.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "link/descriptor_posix.hpp"
#include "link/network/lookup.hpp"
#include "link/network/socket.hpp"

namespace Wsr37100 {

struct Socket::Native {
    int fd = -1;
    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

struct AddressList {
    addrinfo* first = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (first != nullptr) ::freeaddrinfo(first);
    }
};

struct Answer {
    int error = 0;         // getaddrinfo's
    int system_error = 0;  // errno, for EAI_SYSTEM
    addrinfo* first = nullptr;
};

Answer look_up(const std::string& host, const std::string& port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    Answer answer;
    answer.error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &answer.first);
    answer.system_error = answer.error == EAI_SYSTEM ? errno : 0;
    return answer;
}

// An address is taken as it is; a name is looked up on a thread of its own whose
// resolver asks each server once and waits two seconds for it, so that a
// look-up left behind at the limit ends within a few seconds and cannot pile
// up. The resolver's wait outlasts the limit: a silent server is told as a
// look-up that ran out of time, never as an unknown name, however late the
// waiting thread is scheduled.
std::optional<Answer> resolve(const std::string& host, const std::string& port, const Deadline& limit,
                              const Interrupt* interrupt) {
    Answer numeric = look_up(host, port, AI_NUMERICHOST);
    if (numeric.error != EAI_NONAME) return numeric;
    return run_within<Answer>(
        [host, port] {
            if (::res_init() == 0) {
                _res.retrans = 2;
                _res.retry = 1;
            }
            return look_up(host, port, 0);
        },
        [](Answer& unused) {
            if (unused.first != nullptr) ::freeaddrinfo(unused.first);
        },
        limit, interrupt);
}

// 0 when connected, else the errno of the attempt (ETIMEDOUT for no answer in time).
int connect_one(int fd, const addrinfo& address, const Deadline& limit, const Interrupt* interrupt) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const int ready = wait_for(fd, POLLOUT, limit, limit.remaining(), interrupt);
    if (ready == 0) return ETIMEDOUT;
    if (interrupt != nullptr && interrupt->raised()) return ECANCELED;
    int error = 0;
    socklen_t size = sizeof error;
    if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno ? errno : EIO;
    return error;
}

}  // namespace

ConnectError connect_error_of(int error) {
    switch (error) {
        case ETIMEDOUT: return ConnectError::TimedOut;
        case ECONNREFUSED: return ConnectError::Refused;
        default: return ConnectError::Other;
    }
}

Socket::Socket(std::unique_ptr<Native> native) : native_(std::move(native)) {}
Socket::~Socket() = default;

std::unique_ptr<Socket> Socket::connect(const std::string& host, const std::string& port,
                                        std::chrono::milliseconds within, const std::string& shown,
                                        PortUnavailable& failure, const Interrupt* interrupt) {
    const Deadline limit(within);
    const auto answer = resolve(host, port, limit, interrupt);
    if (!answer) {
        failure = lookup_timed_out(shown);
        return nullptr;
    }
    AddressList addresses;
    addresses.first = answer->first;
    if (answer->error != 0) {
        failure = host_not_found(shown, static_cast<unsigned long>(answer->system_error));
        return nullptr;
    }
    int last_error = ETIMEDOUT;
    for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
        auto native = std::make_unique<Native>();
        native->fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                              address->ai_protocol);
        if (native->fd < 0) {
            last_error = errno;
            continue;
        }
        last_error = connect_one(native->fd, *address, limit, interrupt);
        if (last_error == 0) {
            const int on = 1;
            ::setsockopt(native->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return std::unique_ptr<Socket>(new Socket(std::move(native)));
        }
        if (limit.expired() || last_error == ECANCELED) break;
    }
    failure = connect_failure(shown, last_error);
    return nullptr;
}

bool Socket::send(const unsigned char* bytes, std::size_t size, const Deadline& limit, const Interrupt* interrupt) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(native_->fd, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const int ready = wait_for(native_->fd, POLLOUT, limit, limit.remaining(), interrupt);
        if (ready <= 0 || (ready & kHangUp)) return false;
    }
    return true;
}

int Socket::wait(const Deadline& limit, std::chrono::milliseconds cap, const Interrupt* interrupt) {
    return DescriptorSource{native_->fd, interrupt}.wait(limit, cap);
}

std::optional<std::size_t> Socket::receive(unsigned char* into, std::size_t size) {
    const ssize_t got = ::recv(native_->fd, into, size, 0);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return std::nullopt;  // closed by the server, or reset
}

}  // namespace Wsr37100
