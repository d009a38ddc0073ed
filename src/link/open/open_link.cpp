// The table of port-name schemes: how each is read, which transport opens it,
// and whether that transport can set a baud rate.
#include "link/open/open_link.hpp"

#include <optional>
#include <string>

#include "link/network/network_link.hpp"
#include "link/port_name.hpp"
#include "link/port_refusal.hpp"
#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

namespace {

// A name as its scheme's row read it.
struct PortName {
    std::string_view text;                // as the host gave it
    std::optional<NetworkName> network;   // a network name's parts
};

struct ParsedPortName {
    std::optional<PortName> name;
    std::string refusal;  // Portuguese, when the name is refused
};

ParsedPortName parse_serial(std::string_view text) { return {PortName{text, std::nullopt}, {}}; }

ParsedPortName parse_network(std::string_view text) {
    ParsedNetworkName parsed = parse_network_name(text);
    if (!parsed.name) return {std::nullopt, std::move(parsed.refusal)};
    return {PortName{text, std::move(parsed.name)}, {}};
}

OpenResult open_serial(const PortName& name, BaudRate rate, LinkOptions options, const Interrupt*) {
    return SerialPort::open(name.text, std::move(rate), std::move(options));
}

OpenResult open_raw_tcp(const PortName& name, BaudRate rate, LinkOptions options, const Interrupt* interrupt) {
    return open_raw_tcp_link(*name.network, name.text, std::move(rate), std::move(options), interrupt);
}

OpenResult open_rfc2217(const PortName& name, BaudRate rate, LinkOptions options, const Interrupt* interrupt) {
    return open_rfc2217_link(*name.network, name.text, std::move(rate), std::move(options), interrupt);
}

struct Scheme {
    std::string_view scheme;  // lower case, as scheme_of gives it
    ParsedPortName (*parse)(std::string_view text);
    OpenResult (*open)(const PortName& name, BaudRate rate, LinkOptions options, const Interrupt* interrupt);
    bool sets_rate;
};

// A name without a scheme.
constexpr Scheme kLocalPort = {"", parse_serial, open_serial, true};

constexpr Scheme kSchemes[] = {
    {"tcp", parse_network, open_raw_tcp, false},
    {"rfc2217", parse_network, open_rfc2217, true},
};

const Scheme* scheme_for(std::string_view name) {
    if (!has_scheme(name)) return &kLocalPort;
    const std::string scheme = scheme_of(name);
    for (const Scheme& row : kSchemes) {
        if (row.scheme == scheme) return &row;
    }
    return nullptr;
}

}  // namespace

OpenResult open_link(std::string_view device_name, BaudRate rate, LinkOptions options, const Interrupt* interrupt) {
    const Scheme* row = scheme_for(device_name);
    if (row == nullptr) return port_name_refused(device_name, "esquema desconhecido (use tcp:// ou rfc2217://)");
    const ParsedPortName parsed = row->parse(device_name);
    if (!parsed.name) return port_name_refused(device_name, parsed.refusal);
    return row->open(*parsed.name, std::move(rate), std::move(options), interrupt);
}

bool link_sets_rate(std::string_view device_name) {
    const Scheme* row = scheme_for(device_name);
    return row == nullptr || row->sets_rate || !row->parse(device_name).name;
}

}  // namespace Wsr37100
