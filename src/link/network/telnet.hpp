// The Telnet side of RFC 2217: option negotiation, the COM-PORT-OPTION
// subnegotiations and their acknowledgements, and 0xFF escaped in data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace Wsr37100 {

namespace telnet {
inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;
inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kSuppressGoAhead = 3;
inline constexpr unsigned char kComPort = 44;
// The longest subnegotiation the client takes, every byte inside it counted:
// a COM port option's answer is a few bytes.
inline constexpr std::size_t kLongestSubnegotiation = 256;
// COM-PORT-OPTION commands; the server answers each with the command + 100.
inline constexpr unsigned char kSetBaudRate = 1;
inline constexpr unsigned char kSetDataSize = 2;
inline constexpr unsigned char kSetParity = 3;
inline constexpr unsigned char kSetStopSize = 4;
inline constexpr unsigned char kPurgeData = 12;
inline constexpr unsigned char kServerOffset = 100;
inline constexpr unsigned char kParityNone = 1;
inline constexpr unsigned char kOneStopBit = 1;
inline constexpr unsigned char kPurgeReceiveBuffer = 1;
}  // namespace telnet

// One side of a Telnet connection, as a client that wants binary data and
// the COM port option. Not thread safe; one per connection.
class TelnetCodec {
public:
    // What the client says first: binary both ways, no go-ahead, the COM port option.
    std::string opening();
    // The bytes of a subnegotiation for a COM port command (its value escaped).
    static std::string com_port_command(unsigned char command, const std::string& value);
    // Data made fit for the wire: 0xFF doubled.
    static std::string escape(const unsigned char* data, std::size_t size);

    // Takes bytes from the wire: appends the data bytes to `data` and what the
    // client must answer (to the server's negotiation) to `replies`.
    void take(const unsigned char* bytes, std::size_t size, std::string& data, std::string& replies);

    bool com_port_agreed() const { return com_port_agreed_; }
    bool com_port_refused() const { return com_port_refused_; }
    // The value the server acknowledged a command with, once it did.
    std::optional<std::string> acknowledged(unsigned char command) const;
    void forget_acknowledgements() { acknowledged_.clear(); }
    // A subnegotiation went on past kLongestSubnegotiation bytes (escaped or
    // not): the server breaks the protocol, and everything after is dropped.
    bool overflowed() const { return state_ == State::Overflowed; }

private:
    enum class State { Data, Iac, Verb, Sub, SubIac, Overflowed };
    void negotiate(unsigned char verb, unsigned char option, std::string& replies);
    void subnegotiation_ended();
    void keep_in_subnegotiation(unsigned char b);

    State state_ = State::Data;
    unsigned char verb_ = 0;
    std::string sub_;
    std::set<unsigned char> will_sent_, wont_sent_, do_sent_, dont_sent_;
    std::map<unsigned char, std::string> acknowledged_;
    bool com_port_agreed_ = false;
    bool com_port_refused_ = false;
};

}  // namespace Wsr37100
