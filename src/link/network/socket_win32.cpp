// A TCP connection on Windows: Winsock, non-blocking, select() in short slices
// so that an interrupt is seen within a moment.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "link/network/lookup.hpp"
#include "link/network/socket.hpp"
#include "link/network/socket_os.hpp"

namespace Wsr37100 {

namespace {

constexpr std::chrono::milliseconds kSlice{20};

// Winsock is counted: every start has its cleanup.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession() {
        if (started_) ::WSACleanup();
    }
    bool started() const { return started_; }

private:
    bool started_ = false;
};

timeval as_timeval(std::chrono::milliseconds wait) {
    timeval value{};
    value.tv_sec = static_cast<long>(wait.count() / 1000);
    value.tv_usec = static_cast<long>((wait.count() % 1000) * 1000);
    return value;
}

// >0 ready, 0 time-out, <0 failed; `write` waits for a connect or room to send.
int select_one(SOCKET s, bool write, std::chrono::milliseconds wait) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit = as_timeval(wait);
    const int result = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
    if (result < 0) return -1;
    if (result == 0) return 0;
    return FD_ISSET(s, &failed) && !FD_ISSET(s, &ready) ? -1 : 1;
}

struct Answer {
    std::shared_ptr<WinsockSession> session;  // outlives the list it gave
    int error = 0;                            // getaddrinfo's (a WSA error)
    addrinfo* first = nullptr;
};

Answer ask_resolver(const std::string& host, const std::string& port, int flags) {
    Answer answer;
    answer.session = std::make_shared<WinsockSession>();
    if (!answer.session->started()) {
        answer.error = ::WSAGetLastError();
        return answer;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    answer.error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &answer.first);
    return answer;
}

// An address is taken as it is; a name is looked up on a thread of its own, which
// the system's resolver ends after its own time-outs (about ten seconds at most).
std::optional<Answer> resolve(const std::string& host, const std::string& port, const Deadline& limit,
                              const Interrupt* interrupt) {
    Answer numeric = ask_resolver(host, port, AI_NUMERICHOST);
    if (numeric.error != WSAHOST_NOT_FOUND && numeric.error != EAI_NONAME) return numeric;
    return run_within<Answer>([host, port] { return ask_resolver(host, port, 0); },
                              [](Answer& unused) {
                                  if (unused.first != nullptr) ::freeaddrinfo(unused.first);
                              },
                              limit, interrupt);
}

}  // namespace

ConnectError connect_error_of(int error) {
    switch (error) {
        case WSAETIMEDOUT: return ConnectError::TimedOut;
        case WSAECONNREFUSED: return ConnectError::Refused;
        default: return ConnectError::Other;
    }
}

struct Socket::Native {
    WinsockSession session;  // first: started before the socket, cleaned up after it
    SOCKET s = INVALID_SOCKET;
    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (s != INVALID_SOCKET) ::closesocket(s);
    }
};

Socket::Socket(std::unique_ptr<Native> native) : native_(std::move(native)) {}
Socket::~Socket() = default;

class AddressList {
public:
    explicit AddressList(Answer answer) : answer_(std::move(answer)) {
        for (const addrinfo* address = answer_.first; address != nullptr; address = address->ai_next) all_.push_back(address);
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() { ::freeaddrinfo(answer_.first); }
    std::size_t size() const { return all_.size(); }
    const addrinfo& operator[](std::size_t index) const { return *all_[index]; }

private:
    Answer answer_;
    std::vector<const addrinfo*> all_;
};

void AddressListDeleter::operator()(AddressList* list) const { delete list; }

std::optional<LookUp> look_up(const std::string& host, const std::string& port, const Deadline& limit,
                              const Interrupt* interrupt) {
    auto answer = resolve(host, port, limit, interrupt);
    if (!answer) return std::nullopt;
    if (answer->error != 0) {
        if (answer->first != nullptr) ::freeaddrinfo(answer->first);
        return LookUp{nullptr, static_cast<unsigned long>(answer->error)};
    }
    return LookUp{Addresses(new AddressList(std::move(*answer))), 0};
}

std::size_t address_count(const AddressList& list) { return list.size(); }

ConnectAttempt connect_to(const AddressList& list, std::size_t index, const Deadline& limit,
                          const Interrupt* interrupt) {
    const addrinfo& address = list[index];
    auto native = std::make_unique<Socket::Native>();
    // Not inherited by a program the host starts, from the moment it exists: the connection stays the host's alone.
    native->s = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (native->s == INVALID_SOCKET) return {nullptr, ::WSAGetLastError(), false};
    u_long non_blocking = 1;
    if (::ioctlsocket(native->s, FIONBIO, &non_blocking) != 0) return {nullptr, ::WSAGetLastError(), false};
    if (::connect(native->s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        const int refused = ::WSAGetLastError();
        if (refused != WSAEWOULDBLOCK) return {nullptr, refused, false};
        // In slices, so that an interrupt ends the wait at once.
        int ready = 0;
        while (ready == 0 && !limit.expired() && !(interrupt != nullptr && interrupt->raised())) {
            ready = select_one(native->s, true, std::min(limit.remaining(), kSlice));
        }
        if (ready == 0) return {nullptr, WSAETIMEDOUT, true};
        int error = 0;
        int size = sizeof error;
        ::getsockopt(native->s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (ready < 0 || error != 0) return {nullptr, error != 0 ? error : WSAECONNREFUSED, false};
    }
    const BOOL on = TRUE;
    ::setsockopt(native->s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return {std::make_unique<Socket>(std::move(native)), 0, false};
}

int connect_timed_out() { return WSAETIMEDOUT; }

bool Socket::send(const unsigned char* bytes, std::size_t size, const Deadline& limit, const Interrupt* interrupt) {
    std::size_t sent = 0;
    while (sent < size) {
        const int n = ::send(native_->s, reinterpret_cast<const char*>(bytes + sent), static_cast<int>(size - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (limit.expired() || (interrupt != nullptr && interrupt->raised())) return false;
        if (select_one(native_->s, true, std::min(limit.remaining(), kSlice)) < 0) return false;
    }
    return true;
}

int Socket::wait(const Deadline& limit, std::chrono::milliseconds cap, const Interrupt* interrupt) {
    const Deadline until(std::min(limit.remaining(), cap));
    for (;;) {
        if (interrupt != nullptr && interrupt->raised()) return -1;
        const int ready = select_one(native_->s, false, std::min(until.remaining(), kSlice));
        if (ready != 0) return ready;
        if (until.expired()) return 0;
    }
}

std::optional<std::size_t> Socket::receive(unsigned char* into, std::size_t size) {
    const int got = ::recv(native_->s, reinterpret_cast<char*>(into), static_cast<int>(size), 0);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return std::nullopt;  // closed by the server, or reset
}

}  // namespace Wsr37100
