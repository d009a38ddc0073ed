// The weighing service's settings: its scales, where it listens, and its limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Wsr37100::service {

struct ScaleSettings {
    std::string name;     // what clients call it: letters, digits, '-' and '_', 1 to 32
    std::string port;     // the module's port name: COM1, ttyUSB0, /dev/ttyUSB0
    std::string baud = "9600";
    unsigned gap_ms = 20; // WsrOpcoes.intervalo_ms
    unsigned frame = 0;   // WsrOpcoes.quadro: 0, 7 or 8
    std::string log_dir;  // empty: the tool's default log folder
    bool no_log = false;
};

struct Limits {
    std::size_t connections = 256;     // open at once, event streams included
    std::optional<std::size_t> streams;  // event streams open at once; by default three quarters of the connections
    std::size_t header_bytes = 8192;   // the request line and its headers
    std::size_t headers = 64;          // header fields in one request
    std::size_t body_bytes = 1024;     // a request body (the API takes none)
};

struct ServeSettings {
    std::string listen = "127.0.0.1";
    std::uint16_t port = 8370;
    std::vector<ScaleSettings> scales;
    std::vector<std::string> allowed_origins;  // exact origins, "https://pos.example:8443"
    std::vector<std::string> allowed_hosts;    // extra Host names accepted on a loopback address
    std::string token;                          // empty: no bearer token asked
    bool no_token_on_network = false;           // serve beyond loopback without a token, knowingly
    Limits limits;
};

// "NAME=PORT[:BAUD][,gap=MS][,frame=7|8][,log-dir=DIR][,no-log]". A trailing
// ":digits" is the baud rate, except the port of a "scheme://host:port" name.
// Throws std::invalid_argument with a message for the user.
ScaleSettings parse_scale(const std::string& text);

// Reads a JSON configuration file into settings (see serve.json). Unknown
// keys are refused, so a typing error is never silently ignored. Throws
// std::invalid_argument with the file's name and the reason.
void read_config_file(const std::string& path, ServeSettings& settings);

// The first line of a file holding the bearer token, trailing blanks cut. Given
// systemd's credentials folder ($CREDENTIALS_DIRECTORY), a bare name (no folder)
// is the credential of that name in it. Throws std::invalid_argument when it
// cannot be read (naming the file and the user who could not read it) or is empty.
std::string read_token_file(const std::string& path, const std::string& credentials = {});

// $CREDENTIALS_DIRECTORY, where systemd puts the credentials it loaded for the
// service; empty outside such a service.
std::string credentials_folder();

// Checks what the parts above cannot check alone: at least one scale, unique
// names, an address to listen on. Throws std::invalid_argument.
void check(const ServeSettings& settings);

bool valid_scale_name(const std::string& name);

// The event streams the service keeps open at once: fewer than its connections, so that
// a request always finds a slot.
std::size_t stream_limit(const Limits& limits);

}  // namespace Wsr37100::service
