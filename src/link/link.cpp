// Chooses the link a port name names: a serial port, raw TCP or RFC 2217.
#include "link/link.hpp"

#include <algorithm>
#include <cctype>

#include "link/network/network_link.hpp"
#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

namespace {

using Opener = OpenResult (*)(std::string_view name, std::string_view baud_text, LinkOptions options,
                              const Interrupt* interrupt);

OpenResult open_serial(std::string_view name, std::string_view baud_text, LinkOptions options, const Interrupt*) {
    return SerialPort::open(name, baud_text, std::move(options));
}

struct Scheme {
    std::string_view prefix;  // lower case; a name's scheme matches in any case
    Opener open;
};

constexpr Scheme kSchemes[] = {
    {"tcp://", open_network_link},
    {"rfc2217://", open_network_link},
};

bool starts_with_folded(std::string_view name, std::string_view prefix) {
    return name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin(), [](char p, char c) {
               return p == std::tolower(static_cast<unsigned char>(c));
           });
}

Opener opener_for(std::string_view name) {
    for (const Scheme& scheme : kSchemes) {
        if (starts_with_folded(name, scheme.prefix)) return scheme.open;
    }
    // Any other scheme is a network name the network opener refuses; no scheme, a serial port.
    return name.find("://") == std::string_view::npos ? open_serial : open_network_link;
}

}  // namespace

OpenResult open_link(std::string_view device_name, std::string_view baud_text, LinkOptions options,
                     const Interrupt* interrupt) {
    return opener_for(device_name)(device_name, baud_text, std::move(options), interrupt);
}

}  // namespace Wsr37100
