// Telnet for RFC 2217: a byte-at-a-time state machine over the server's stream.
#include "link/network/telnet.hpp"

namespace Wsr37100 {

using namespace telnet;

namespace {
std::string verb(unsigned char which, unsigned char option) { return {char(kIac), char(which), char(option)}; }
bool wanted(unsigned char option) { return option == kBinary || option == kSuppressGoAhead; }
}  // namespace

std::string TelnetCodec::opening() {
    will_sent_ = {kBinary, kSuppressGoAhead, kComPort};
    do_sent_ = {kBinary, kSuppressGoAhead};
    return verb(kWill, kBinary) + verb(kDo, kBinary) + verb(kWill, kSuppressGoAhead) + verb(kDo, kSuppressGoAhead) +
           verb(kWill, kComPort);
}

std::string TelnetCodec::escape(const unsigned char* data, std::size_t size) {
    std::string wire;
    wire.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        wire += static_cast<char>(data[i]);
        if (data[i] == kIac) wire += static_cast<char>(kIac);
    }
    return wire;
}

std::string TelnetCodec::com_port_command(unsigned char command, const std::string& value) {
    const std::string escaped = escape(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    return std::string{char(kIac), char(kSb), char(kComPort), char(command)} + escaped +
           std::string{char(kIac), char(kSe)};
}

std::optional<std::string> TelnetCodec::acknowledged(unsigned char command) const {
    const auto found = acknowledged_.find(command);
    if (found == acknowledged_.end()) return std::nullopt;
    return found->second;
}

void TelnetCodec::negotiate(unsigned char which, unsigned char option, std::string& replies) {
    switch (which) {
        case kDo:
            if (option == kComPort) com_port_agreed_ = true;
            if (wanted(option) || option == kComPort) {
                if (will_sent_.insert(option).second) replies += verb(kWill, option);
            } else if (wont_sent_.insert(option).second) {
                replies += verb(kWont, option);
            }
            break;
        case kDont:
            if (option == kComPort) com_port_refused_ = true;
            break;
        case kWill:
            if (wanted(option)) {
                if (do_sent_.insert(option).second) replies += verb(kDo, option);
            } else if (dont_sent_.insert(option).second) {
                replies += verb(kDont, option);
            }
            break;
        default:  // WONT: nothing to answer
            break;
    }
}

void TelnetCodec::subnegotiation_ended() {
    if (sub_.size() >= 2 && static_cast<unsigned char>(sub_[0]) == kComPort &&
        static_cast<unsigned char>(sub_[1]) > kServerOffset) {
        acknowledged_[static_cast<unsigned char>(static_cast<unsigned char>(sub_[1]) - kServerOffset)] = sub_.substr(2);
    }
    sub_.clear();
}

// No command of ours is this long: a server that never ends a subnegotiation
// (with plain or escaped bytes) must not grow this without bound.
void TelnetCodec::keep_in_subnegotiation(unsigned char b) {
    if (sub_.size() >= kLongestSubnegotiation) {
        sub_.clear();
        sub_.shrink_to_fit();
        state_ = State::Overflowed;
        return;
    }
    sub_ += static_cast<char>(b);
}

void TelnetCodec::take(const unsigned char* bytes, std::size_t size, std::string& data, std::string& replies) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = bytes[i];
        switch (state_) {
            case State::Data:
                if (b == kIac) {
                    state_ = State::Iac;
                } else {
                    data += static_cast<char>(b);
                }
                break;
            case State::Iac:
                if (b == kIac) {
                    data += static_cast<char>(kIac);
                    state_ = State::Data;
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    verb_ = b;
                    state_ = State::Verb;
                } else if (b == kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA and the like
                }
                break;
            case State::Verb:
                negotiate(verb_, b, replies);
                state_ = State::Data;
                break;
            case State::Sub:
                if (b == kIac) {
                    state_ = State::SubIac;
                } else {
                    keep_in_subnegotiation(b);
                }
                break;
            case State::SubIac:
                if (b == kIac) {
                    state_ = State::Sub;
                    keep_in_subnegotiation(b);
                } else {
                    if (b == kSe) subnegotiation_ended();
                    sub_.clear();
                    state_ = State::Data;
                }
                break;
            case State::Overflowed:
                return;
        }
    }
}

}  // namespace Wsr37100
