// libFuzzer target over the Telnet codec of RFC 2217 links.
// Input: one byte that picks how the rest is cut into reads (and whether the
// client opened first), then what a server sends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "link/network/telnet.hpp"

namespace {

using namespace Wsr37100;

void check(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    std::string data;
    std::string replies;
    std::vector<std::optional<std::string>> acknowledged;
    bool agreed = false;
    bool refused = false;
    bool overflowed = false;  // a subnegotiation past the cap: the codec takes nothing more
    bool operator==(const Outcome&) const = default;
};

Outcome finished(const TelnetCodec& codec, std::string data, std::string replies) {
    Outcome outcome{std::move(data), std::move(replies), {}, codec.com_port_agreed(), codec.com_port_refused(),
                    codec.overflowed()};
    for (unsigned command = 0; command < 256; ++command) {
        outcome.acknowledged.push_back(codec.acknowledged(static_cast<unsigned char>(command)));
    }
    return outcome;
}

// The server's bytes taken in reads of 1 to `longest` bytes, sizes drawn from `seed`.
Outcome taken(const unsigned char* bytes, std::size_t size, unsigned seed, std::size_t longest, bool open) {
    TelnetCodec codec;
    if (open) codec.opening();
    std::string data;
    std::string replies;
    for (std::size_t at = 0; at < size;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t count = std::min(size - at, 1 + (seed >> 16) % longest);
        codec.take(bytes + at, count, data, replies);
        at += count;
    }
    return finished(codec, std::move(data), std::move(replies));
}

// What the client answers is whole verbs, each (verb, option) said once, never to a WONT or DONT.
void check_replies(const std::string& replies) {
    check(replies.size() % 3 == 0);
    std::vector<std::string> said;
    for (std::size_t i = 0; i < replies.size(); i += 3) {
        check(static_cast<unsigned char>(replies[i]) == telnet::kIac);
        const auto verb = static_cast<unsigned char>(replies[i + 1]);
        check(verb == telnet::kWill || verb == telnet::kWont || verb == telnet::kDo || verb == telnet::kDont);
        const std::string one = replies.substr(i, 3);
        check(std::find(said.begin(), said.end(), one) == said.end());
        said.push_back(one);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return -1;
    const unsigned choice = input[0];
    const unsigned char* bytes = input + 1;
    const std::size_t length = size - 1;
    const bool open = (choice & 1) != 0;

    // One read or many: the same data, answers and acknowledgements.
    const Outcome whole = taken(bytes, length, 0, length == 0 ? 1 : length, open);
    const Outcome pieces = taken(bytes, length, choice, 1 + (choice >> 1) % 16, open);
    check(whole == pieces);
    check(taken(bytes, length, 0, 1, open) == whole);
    check(whole.data.size() <= length);
    check_replies(whole.replies);
    // An acknowledgement is what one subnegotiation held, less its option and command bytes.
    for (const auto& value : whole.acknowledged) {
        check(!value || value->size() + 2 <= telnet::kLongestSubnegotiation);
    }

    // Data escaped for the wire comes back as it was, with nothing to answer.
    const std::string wire = TelnetCodec::escape(bytes, length);
    TelnetCodec reader;
    std::string data;
    std::string replies;
    reader.take(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), data, replies);
    check(data == std::string(reinterpret_cast<const char*>(bytes), length));
    check(replies.empty());

    // A command's subnegotiation, as a server sends its acknowledgement, gives back its value.
    const auto command = static_cast<unsigned char>(1 + choice % 12);
    const std::string value(reinterpret_cast<const char*>(bytes), std::min<std::size_t>(length, telnet::kLongestSubnegotiation - 2));
    const std::string answer = TelnetCodec::com_port_command(static_cast<unsigned char>(command + telnet::kServerOffset), value);
    const Outcome acknowledged = taken(reinterpret_cast<const unsigned char*>(answer.data()), answer.size(), choice, 1 + choice % 7, open);
    check(acknowledged.data.empty() && acknowledged.replies.empty());
    check(acknowledged.acknowledged[command] == value);
    return 0;
}
