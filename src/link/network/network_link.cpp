// The link through a serial device server: raw TCP, or Telnet with RFC 2217.
#include "link/network/network_link.hpp"

#include <algorithm>
#include <cstdint>

#include "link/deadline.hpp"
#include "link/interrupt.hpp"
#include "link/network/socket.hpp"
#include "link/network/telnet.hpp"
#include "base/quoted.hpp"

namespace Wsr37100 {

namespace {

constexpr std::size_t kChunk = 64;
constexpr std::chrono::milliseconds kNegotiationTimeout{1000};
// How long the line must stay quiet after a raw connection opens before the first
// poll: a device server may send a reply it kept for an earlier client a moment
// after it accepts, and that must not be taken for this client's answer.
constexpr std::chrono::milliseconds kSettleQuiet{50};


// Why a server's port could not be set up: a refusal, or no answer in time.
struct Refusal {
    std::string reason;  // Portuguese, the part after "recusou a configuração: "
    PortProblem problem = PortProblem::SettingsRefused;
};

OpenResult settings_refused(std::string_view name, const Refusal& refusal) {
    return OpenResult{nullptr, {refusal.problem, 0,
                                "O servidor " + quoted(name) + " recusou a configura\xE7\xE3o: " + refusal.reason}};
}

// One link over one connection. Data of a Telnet connection passes through
// the codec; what it holds beyond a read waits for the next, as in a port's queue.
class NetworkLink final : public Link {
public:
    NetworkLink(std::unique_ptr<Socket> socket, bool telnet, LinkOptions options, std::string shown)
        : socket_(std::move(socket)), options_(std::move(options)), shown_(std::move(shown)) {
        if (telnet) telnet_ = std::make_unique<TelnetCodec>();
    }

    void set_rate(std::int32_t rate) { rate_ = rate; }

    // What a read waits on and takes: the socket, and the data already decoded.
    struct Source {
        NetworkLink& link;
        const Interrupt* interrupt;
        int wait(const Deadline& limit, std::chrono::milliseconds cap) const {
            if (!link.pending_.empty()) return 1;
            return link.socket_->wait(limit, cap, interrupt);
        }
        std::optional<std::size_t> read(unsigned char* into, std::size_t size) const {
            if (link.pending_.empty() && !link.take_from_wire(interrupt)) return std::nullopt;
            const std::size_t count = std::min(size, link.pending_.size());
            std::copy_n(link.pending_.begin(), count, into);
            link.pending_.erase(0, count);
            return count;
        }
    };

    std::optional<std::size_t> poll(ReceiveBuffer& buffer, const Interrupt* interrupt) override {
        // What came before this ENQ was written is no answer to it.
        if (!discard_waiting(interrupt)) return dropped(interrupt);
        buffer[0] = kEnq;
        buffer[1] = 0;
        if (!send_data(buffer.data(), 1, interrupt)) return dropped(interrupt);
        const Source source{*this, interrupt};
        const auto got =
            read_reply_bytes(source, buffer.data(), wanted_bytes(options_), options_.gap, Deadline(options_.read_timeout));
        if (!got) return dropped(interrupt);
        return got;
    }

    using Link::drain;
    bool drain(std::chrono::milliseconds limit, const Interrupt* interrupt) override {
        return drop_until_quiet(quiet_time(rate_), limit, interrupt);
    }

    bool set_read_timeout(std::chrono::milliseconds wait) override {
        options_.read_timeout = wait;
        return true;
    }

    // What the server had waiting before this connection (a reply kept for an
    // earlier client) is no answer to this one's polls: as a serial port's input is
    // flushed on open, whatever comes until the line has been quiet for a moment is
    // dropped. False when the connection failed.
    bool settle(const Interrupt* interrupt) {
        return drop_until_quiet(std::max(kSettleQuiet, quiet_time(rate_)), kReadTimeout, interrupt);
    }

    // Drops what comes until the line has been quiet for `quiet`, for at most `within`:
    // a server that never goes quiet ends it at the limit all the same.
    bool drop_until_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds within,
                          const Interrupt* interrupt) {
        const Deadline limit(within);
        pending_.clear();
        while (!limit.expired()) {
            const int ready = socket_->wait(limit, quiet, interrupt);
            if (ready < 0) return false;
            if (ready == 0) return true;
            if (!take_from_wire(interrupt)) return false;
            pending_.clear();
        }
        return true;
    }

    // Drops what is already readable, without waiting. False when the connection failed.
    bool discard_waiting(const Interrupt* interrupt) {
        const Deadline now(std::chrono::milliseconds(0));
        pending_.clear();
        for (std::size_t taken = 0; taken < kQueueSize; taken += kChunk) {
            const int ready = socket_->wait(now, std::chrono::milliseconds(0), interrupt);
            if (ready < 0) return false;
            if (ready == 0) break;
            if (!take_from_wire(interrupt)) return false;
            pending_.clear();
        }
        return true;
    }

    std::optional<PortUnavailable> failure() const override { return failure_; }

    // RFC 2217: agree on the COM port option, set the line, purge the
    // server's receive buffer; each step waits for the server's answer.
    std::optional<Refusal> configure(std::int32_t rate, const Interrupt* interrupt) {
        if (!send_wire(telnet_->opening(), interrupt)) return Refusal{"a conex\xE3o caiu"};
        if (!negotiate_until([this] { return telnet_->com_port_agreed() || telnet_->com_port_refused(); }, interrupt)) {
            return Refusal{"o servidor n\xE3o respondeu \xE0 op\xE7\xE3o de porta COM (RFC 2217)",
                           PortProblem::NegotiationUnanswered};
        }
        if (telnet_->com_port_refused()) return Refusal{"o servidor n\xE3o oferece a op\xE7\xE3o de porta COM (RFC 2217)"};
        using namespace telnet;
        const auto value = static_cast<std::uint32_t>(rate);
        const std::string baud{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        const std::pair<unsigned char, std::string> commands[] = {
            {kSetBaudRate, baud},
            {kSetDataSize, std::string(1, char(8))},
            {kSetParity, std::string(1, char(kParityNone))},
            {kSetStopSize, std::string(1, char(kOneStopBit))},
            {kPurgeData, std::string(1, char(kPurgeReceiveBuffer))},
        };
        std::string wire;
        for (const auto& [command, argument] : commands) wire += TelnetCodec::com_port_command(command, argument);
        if (!send_wire(wire, interrupt)) return Refusal{"a conex\xE3o caiu"};
        const bool answered = negotiate_until([&] {
            return std::all_of(std::begin(commands), std::end(commands),
                               [&](const auto& c) { return telnet_->acknowledged(c.first).has_value(); });
        }, interrupt);
        if (!answered) {
            return Refusal{"o servidor n\xE3o confirmou a configura\xE7\xE3o em 1000 ms", PortProblem::NegotiationUnanswered};
        }
        if (telnet_->acknowledged(kSetBaudRate) != baud) return Refusal{std::to_string(rate) + " baud"};
        pending_.clear();  // what came before the purge is no answer to a poll
        return std::nullopt;
    }

private:
    template <class Done>
    bool negotiate_until(Done done, const Interrupt* interrupt) {
        const Deadline limit(kNegotiationTimeout);
        while (!done()) {
            // Checked before each wait: a server that floods data never lets the wait time out.
            if (limit.expired()) return false;
            if (socket_->wait(limit, kNegotiationTimeout, interrupt) <= 0 || !take_from_wire(interrupt)) return false;
            pending_.clear();  // data before the purge is no answer to a poll, and must not pile up
        }
        return true;
    }

    // One chunk from the socket, through the codec; answers the server's negotiation.
    bool take_from_wire(const Interrupt* interrupt) {
        unsigned char raw[kChunk];
        const auto got = socket_->receive(raw, sizeof raw);
        if (!got) return false;
        if (!telnet_) {
            pending_.append(reinterpret_cast<const char*>(raw), *got);
            return true;
        }
        std::string replies;
        telnet_->take(raw, *got, pending_, replies);
        if (telnet_->overflowed()) {
            failure_ = PortUnavailable{PortProblem::ConnectionDropped, 0,
                                       "O servidor " + quoted(shown_) + " n\xE3o encerrou uma subnegocia\xE7\xE3o Telnet"};
            return false;
        }
        return replies.empty() || send_wire(replies, interrupt);
    }

    bool send_data(const unsigned char* data, std::size_t size, const Interrupt* interrupt) {
        if (!telnet_) return socket_->send(data, size, Deadline(kWriteTimeout), interrupt);
        return send_wire(TelnetCodec::escape(data, size), interrupt);
    }

    bool send_wire(const std::string& wire, const Interrupt* interrupt) {
        return socket_->send(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), Deadline(kWriteTimeout),
                             interrupt);
    }

    std::nullopt_t dropped(const Interrupt* interrupt) {
        if (!failure_ && (interrupt == nullptr || !interrupt->raised())) {
            failure_ = PortUnavailable{PortProblem::ConnectionDropped, 0,
                                       "A conex\xE3o com " + quoted(shown_) + " caiu"};
        }
        return std::nullopt;
    }

    std::unique_ptr<Socket> socket_;
    std::unique_ptr<TelnetCodec> telnet_;
    LinkOptions options_;
    std::string shown_;
    std::int32_t rate_ = 9600;
    std::string pending_;
    std::optional<PortUnavailable> failure_;
};

}  // namespace

namespace {

OpenResult open_network_link(const NetworkName& name, std::string_view shown, BaudRate baud, LinkOptions options,
                             bool telnet, const Interrupt* interrupt) {
    PortUnavailable failure;
    auto socket = Socket::connect(name.host, name.port, kConnectTimeout, std::string(shown), failure, interrupt);
    if (!socket) return OpenResult{nullptr, std::move(failure)};
    auto link = std::make_unique<NetworkLink>(std::move(socket), telnet, std::move(options), std::string(shown));
    // As on a serial port: the rate's text is read once the link is open.
    const std::int32_t rate = baud.value();
    if (rate <= 0) return settings_refused(shown, {std::to_string(rate) + " baud"});
    link->set_rate(rate);
    if (telnet) {
        const auto problem = link->configure(rate, interrupt);
        if (auto dropped = link->failure()) return OpenResult{nullptr, std::move(*dropped)};
        if (problem) return settings_refused(shown, *problem);
    } else {
        link->settle(interrupt);  // a connection that is already closed shows at the first poll
    }
    return OpenResult{std::move(link), {}};
}

}  // namespace

OpenResult open_raw_tcp_link(const NetworkName& name, std::string_view shown, BaudRate rate, LinkOptions options,
                             const Interrupt* interrupt) {
    return open_network_link(name, shown, std::move(rate), std::move(options), false, interrupt);
}

OpenResult open_rfc2217_link(const NetworkName& name, std::string_view shown, BaudRate rate, LinkOptions options,
                             const Interrupt* interrupt) {
    return open_network_link(name, shown, std::move(rate), std::move(options), true, interrupt);
}

PortUnavailable host_not_found(const std::string& shown, unsigned long error) {
    return {PortProblem::HostNotFound, error, "Servidor n\xE3o encontrado " + quoted(shown) + ": nome desconhecido"};
}

PortUnavailable lookup_timed_out(const std::string& shown) {
    return {PortProblem::HostNotFound, 0,
            "Servidor n\xE3o encontrado " + quoted(shown) + ": o nome n\xE3o foi resolvido em " +
                std::to_string(kConnectTimeout.count()) + " ms"};
}

PortUnavailable connect_failure(const std::string& shown, int error) {
    const auto code = static_cast<unsigned long>(error);
    switch (connect_error_of(error)) {
        case ConnectError::TimedOut:
            return {PortProblem::ConnectTimedOut, 0,
                    "O servidor " + quoted(shown) + " n\xE3o respondeu \xE0 conex\xE3o em " +
                        std::to_string(kConnectTimeout.count()) + " ms"};
        case ConnectError::Refused:
            return {PortProblem::ConnectionRefused, code, "O servidor " + quoted(shown) + " recusou a conex\xE3o"};
        case ConnectError::Other: break;
    }
    return {PortProblem::Other, code,
            "N\xE3o foi poss\xEDvel conectar a " + quoted(shown) + ": erro " + std::to_string(code)};
}

}  // namespace Wsr37100
