// A TCP connection on POSIX: the look-up, a non-blocking connect against a deadline, poll()-timed I/O.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "link/descriptor_posix.hpp"
#include "link/network/lookup.hpp"
#include "link/network/socket.hpp"
#include "link/network/socket_os.hpp"

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

struct Answer {
    int error = 0;         // getaddrinfo's
    int system_error = 0;  // errno, for EAI_SYSTEM
    addrinfo* first = nullptr;
};

Answer ask_resolver(const std::string& host, const std::string& port, int flags) {
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
    Answer numeric = ask_resolver(host, port, AI_NUMERICHOST);
    if (numeric.error != EAI_NONAME) return numeric;
    return run_within<Answer>(
        [host, port] {
            if (::res_init() == 0) {
                _res.retrans = 2;
                _res.retry = 1;
            }
            return ask_resolver(host, port, 0);
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

class AddressList {
public:
    explicit AddressList(addrinfo* first) : first_(first) {
        for (const addrinfo* address = first; address != nullptr; address = address->ai_next) all_.push_back(address);
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() { ::freeaddrinfo(first_); }
    std::size_t size() const { return all_.size(); }
    const addrinfo& operator[](std::size_t index) const { return *all_[index]; }

private:
    addrinfo* first_;
    std::vector<const addrinfo*> all_;
};

void AddressListDeleter::operator()(AddressList* list) const { delete list; }

std::optional<LookUp> look_up(const std::string& host, const std::string& port, const Deadline& limit,
                              const Interrupt* interrupt) {
    const auto answer = resolve(host, port, limit, interrupt);
    if (!answer) return std::nullopt;
    if (answer->error != 0) {
        if (answer->first != nullptr) ::freeaddrinfo(answer->first);
        return LookUp{nullptr, static_cast<unsigned long>(answer->system_error)};
    }
    return LookUp{Addresses(new AddressList(answer->first)), 0};
}

std::size_t address_count(const AddressList& list) { return list.size(); }

ConnectAttempt connect_to(const AddressList& list, std::size_t index, const Deadline& limit,
                          const Interrupt* interrupt) {
    const addrinfo& address = list[index];
    auto native = std::make_unique<Socket::Native>();
    native->fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (native->fd < 0) return {nullptr, errno, false};
    const int error = connect_one(native->fd, address, limit, interrupt);
    if (error == 0) {
        const int on = 1;
        ::setsockopt(native->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return {std::make_unique<Socket>(std::move(native)), 0, false};
    }
    return {nullptr, error, limit.expired() || error == ECANCELED};
}

int connect_timed_out() { return ETIMEDOUT; }

Socket::Socket(std::unique_ptr<Native> native) : native_(std::move(native)) {}
Socket::~Socket() = default;

ConnectError connect_error_of(int error) {
    switch (error) {
        case ETIMEDOUT: return ConnectError::TimedOut;
        case ECONNREFUSED: return ConnectError::Refused;
        default: return ConnectError::Other;
    }
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
