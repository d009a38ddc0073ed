// The service's settings: a scale as --scale writes it, a port written two ways, the JSON file's numbers and depth, the token file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "config.hpp"
#include "support/temp_folder.hpp"

namespace Wsr37100::service {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

void write(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
}

// The message of the std::invalid_argument `run` throws; empty when it throws none.
template <typename Run>
std::string refusal(Run run) {
    try {
        run();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return {};
}

std::string settings_refusal(const std::string& first_port, const std::string& second_port) {
    ServeSettings settings;
    settings.scales = {ScaleSettings{"a", first_port}, ScaleSettings{"b", second_port}};
    return refusal([&] { check(settings); });
}

TEST(Config, OnePortWrittenTwoWays) {
    const std::pair<const char*, const char*> same[] = {
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/ttyS0", "/dev/serial/../ttyS0"},
        {"/dev/./ttyS0", "ttyS0:"},
        {"/dev/ttyS0", "ttyS0"},
        {"COM3", "\\\\.\\COM3"},
        {"COM3", "com3"},
        {"COM3:", "//./com3"},
        {"tcp://127.0.0.1:4001", "tcp://localhost:4001"},
        {"tcp://LocalHost:4001", "tcp://127.0.0.1:4001"},
        {"tcp://localhost:4001", "tcp://127.0.0.1:04001"},
        {"tcp://10.0.0.5:4001", "rfc2217://10.0.0.5:4001"},
        {"tcp://10.0.0.5:4001", "tcp://10.0.0.5:04001"},
        {"tcp://Server.example:1", "RFC2217://server.EXAMPLE:001"},
        {"tcp://[::1]:4001", "rfc2217://[::1]:004001"},
    };
    for (const auto& [first, second] : same) {
        EXPECT_NE(settings_refusal(first, second).find("two scales use the port"), std::string::npos) << first << " " << second;
    }
    const std::pair<const char*, const char*> different[] = {
        {"ttyUSB0", "ttyUSB1"},
        {"/dev/ttyS0", "/dev/serial/ttyS0"},
        {"COM3", "COM30"},
        {"tcp://10.0.0.5:4001", "tcp://10.0.0.5:4002"},
        {"tcp://10.0.0.5:4001", "tcp://10.0.0.6:4001"},
        {"tcp://10.0.0.5:4001", "tcp://10.0.0.5:40010"},
        {"tcp://[::1]:4001", "tcp://127.0.0.1:4001"},
    };
    for (const auto& [first, second] : different) EXPECT_EQ(settings_refusal(first, second), "") << first << " " << second;
}

// --scale NAME=PORT[:BAUD][,OPTION...]: the baud rate after the port's last colon unless that colon is a
// network name's; each option once understood; anything else refused. A refusal is "!" and a part of its message.
TEST(Config, ScaleText) {
    const struct {
        const char* text;
        const char* port;
        const char* baud;
        unsigned gap_ms;
        unsigned frame;
        const char* log_dir;
        bool no_log;
    } cases[] = {
        {"a=COM1", "COM1", "9600", 20, 0, "", false},
        {"a=/dev/ttyUSB0:4800", "/dev/ttyUSB0", "4800", 20, 0, "", false},
        {"a=COM3:19200,gap=50,frame=7,log-dir=/var/log/x,no-log", "COM3", "19200", 50, 7, "/var/log/x", true},
        {"a=COM3,baud=2400", "COM3", "2400", 20, 0, "", false},
        {"a=tcp://10.0.0.5:4001", "tcp://10.0.0.5:4001", "9600", 20, 0, "", false},
        {"a=tcp://10.0.0.5:4001:4800", "tcp://10.0.0.5:4001", "4800", 20, 0, "", false},
        {"a=tcp://[::1]:4001", "tcp://[::1]:4001", "9600", 20, 0, "", false},
        {"a=rfc2217://[fe80::1]:4001:1200", "rfc2217://[fe80::1]:4001", "1200", 20, 0, "", false},
        {"a=COM1:x", "COM1:x", "9600", 20, 0, "", false},
        {"a=COM1,log-dir=a=b,c", "", "", 0, 0, "!unknown option 'c'", false},
        {"COM1", "", "", 0, 0, "!NAME=PORT", false},
        {"=COM1", "", "", 0, 0, "!a scale's name", false},
        {"a b=COM1", "", "", 0, 0, "!a scale's name", false},
        {"a=", "", "", 0, 0, "!no port", false},
        {"a=,gap=5", "", "", 0, 0, "!no port", false},
        {"a=COM1:0", "", "", 0, 0, "!baud rate", false},
        {"a=COM1:2147483648", "", "", 0, 0, "!baud rate", false},
        {"a=COM1:99999999999999999999", "", "", 0, 0, "!baud rate", false},
        {"a=COM1,frame=9", "", "", 0, 0, "!frame must be 7 or 8", false},
        {"a=COM1,gap=1001", "", "", 0, 0, "!gap", false},
        {"a=COM1,gap", "", "", 0, 0, "!unknown option 'gap'", false},
        {"a=COM1,no-log=1", "", "", 0, 0, "!unknown option 'no-log=1'", false},
        {"a=COM1,log-dir=", "", "", 0, 0, "!unknown option 'log-dir='", false},
        {"a=COM1,", "", "", 0, 0, "!unknown option ''", false},
    };
    for (const auto& c : cases) {
        if (c.log_dir[0] == '!') {
            EXPECT_NE(refusal([&] { parse_scale(c.text); }).find(c.log_dir + 1), std::string::npos) << c.text;
            continue;
        }
        const ScaleSettings scale = parse_scale(c.text);
        EXPECT_EQ(scale.name, "a") << c.text;
        EXPECT_EQ(scale.port, c.port) << c.text;
        EXPECT_EQ(scale.baud, c.baud) << c.text;
        EXPECT_EQ(scale.gap_ms, c.gap_ms) << c.text;
        EXPECT_EQ(scale.frame, c.frame) << c.text;
        EXPECT_EQ(scale.log_dir, c.log_dir) << c.text;
        EXPECT_EQ(scale.no_log, c.no_log) << c.text;
    }
}

TEST(Config, OnePortThroughALink) {
    const TempFolder folder;
    write(folder.path() / "ttyScale", "");
    std::error_code error;
    fs::create_symlink(folder.path() / "ttyScale", folder.path() / "by-id", error);
    if (error) GTEST_SKIP() << "no symbolic link here: " << error.message();
    const std::string refused = settings_refusal((folder.path() / "ttyScale").string(), (folder.path() / "by-id").string());
    EXPECT_NE(refused.find("two scales use the port"), std::string::npos) << refused;
}

TEST(Config, FileValues) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const struct {
        std::string json;
        const char* refusal;  // part of the message; empty: read
    } cases[] = {
        {R"({"scales": [{"name": "a", "port": "x", "baud": 9600}]})", ""},
        {R"({"scales": [{"name": "a", "port": "x", "baud": "4800"}]})", ""},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 2147483647}]})", ""},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 2147483648}]})", "baud must be a whole number from 1 to 2147483647: 2147483648"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 9604272958}]})", "baud must be a whole number from 1 to 2147483647: 9604272958"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 4294976896}]})", "baud must be a whole number from 1 to 2147483647: 4294976896"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 0}]})", "baud must be a whole number from 1"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": -9600}]})", "baud must be a whole number from 1"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": 9600.5}]})", "baud must be a whole number from 1"},
        {R"({"scales": [{"name": "a", "port": "x", "baud": "9604272958"}]})", "at most 2147483647"},
        {R"({"port": [[[[1]]]]})", "port must be a whole number from 0 to 65535: an array"},
        {R"({"port": "80"})", "port must be a whole number from 0 to 65535: a string"},
        {R"({"port": 65536})", "port must be a whole number from 0 to 65535: 65536"},
        {R"({"limits": {"headers": {"a": {"b": 1}}}})", "headers must be a whole number from 0 to 1073741824: an object"},
        {R"({"scales": [{"name": "a", "port": "x", "gap_ms": true}]})", "gap_ms must be a whole number from 0 to 1000: true"},
        {R"({"scales": [{"name": "a", "port": "x", "gap_ms": 1000}]})", ""},
        {R"({"scales": [{"name": "a", "port": "x", "gap_ms": 1001}]})", "gap_ms must be a whole number from 0 to 1000: 1001"},
        {R"({"scales": [{"name": "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", "port": "x"}]})", ""},
        {R"({"scales": [{"name": "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", "port": "x"}]})", "name is 1 to 32"},
        {R"({"limits": {"connections": 1073741824}})", ""},
        {R"({"limits": {"connections": 1073741825}})", "connections must be a whole number from 0 to 1073741824: 1073741825"},
        {R"({"limits": {"streams": 0}})", ""},
        {R"({"limits": {"streams": -1}})", "streams must be a whole number from 0 to 1073741824: -1"},
        {R"({"scales": [{"name": "a", "port": "x", "frame": null}]})", "frame must be a whole number from 0 to 1000: null"},
        {R"({"port": )" + deep + "}", "nested deeper than 64 levels"},
        {R"({"scales": [{"name": "a", "port": "x", "frame": )" + deep + "}]}", "nested deeper than 64 levels"},
        {deep, "nested deeper than 64 levels"},
        {std::string(100000, '['), "nested deeper than 64 levels"},
    };
    const TempFolder folder;
    const fs::path file = folder.path() / "serve.json";
    for (const auto& c : cases) {
        write(file, c.json);
        ServeSettings settings;
        const std::string refused = refusal([&] { read_config_file(file.string(), settings); });
        const std::string shown = c.json.substr(0, 80);
        if (*c.refusal == '\0') {
            EXPECT_EQ(refused, "") << shown;
        } else {
            EXPECT_NE(refused.find(c.refusal), std::string::npos) << shown << ": " << refused;
            EXPECT_LT(refused.size(), 300u) << shown;
        }
    }
}

// Event streams leave room for requests: three quarters of the connections by default, and never all of them.
TEST(Config, StreamsBelowConnections) {
    const struct {
        std::size_t connections;
        std::optional<std::size_t> streams;
        std::size_t limit;
        const char* refusal;  // part of the message; empty: taken
    } cases[] = {
        {256, std::nullopt, 192, ""},
        {30, std::nullopt, 22, ""},
        {1, std::nullopt, 0, ""},
        {256, 255, 255, ""},
        {256, 0, 0, ""},
        {256, 256, 0, "streams (256) must be fewer than connections (256)"},
        {10, 20, 0, "so that a request always finds one"},
    };
    for (const auto& c : cases) {
        ServeSettings settings;
        settings.scales = {ScaleSettings{"a", "ttyS0"}};
        settings.limits.connections = c.connections;
        settings.limits.streams = c.streams;
        const std::string refused = refusal([&] { check(settings); });
        if (*c.refusal == '\0') {
            EXPECT_EQ(refused, "") << c.connections;
            EXPECT_EQ(stream_limit(settings.limits), c.limit) << c.connections;
        } else {
            EXPECT_NE(refused.find(c.refusal), std::string::npos) << c.connections << ": " << refused;
        }
    }
}

TEST(Config, TokenFile) {
    const std::string longest(512, 't');
    const struct {
        std::string text;
        const char* token;    // empty: refused with `refusal`
        const char* refusal;
    } cases[] = {
        {"secret\n", "secret", ""},
        {"secret", "secret", ""},
        {"secret \t\r\nsecond line\n", "secret", ""},
        {longest + "\r\n", longest.c_str(), ""},
        {longest, longest.c_str(), ""},
        {longest + "t\n", "", "must hold one line of at most 512 bytes"},
        {longest + "tt", "", "must hold one line of at most 512 bytes"},
        {std::string(100000, '\0'), "", "must hold one line of at most 512 bytes"},
        {"", "", "is empty"},
        {" \r\n", "", "is empty"},
    };
    const TempFolder folder;
    const fs::path file = folder.path() / "token";
    for (const auto& c : cases) {
        write(file, c.text);
        std::string token;
        const std::string refused = refusal([&] { token = read_token_file(file.string()); });
        EXPECT_EQ(token, c.token) << c.text.substr(0, 40);
        EXPECT_NE(refused.find(c.refusal), std::string::npos) << c.text.substr(0, 40) << ": " << refused;
        if (*c.token == '\0') {
            EXPECT_NE(refused, "") << c.text.substr(0, 40);
        }
    }
    // A device that never ends, and a folder: refused at once.
    for (const fs::path& endless : {fs::path("/dev/zero"), folder.path()}) {
        if (!fs::exists(endless)) continue;
        const std::string refused = refusal([&] { read_token_file(endless.string()); });
        EXPECT_NE(refused.find("token file"), std::string::npos) << endless << ": " << refused;
    }
}

}  // namespace
}  // namespace Wsr37100::service
