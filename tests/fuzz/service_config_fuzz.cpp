// libFuzzer target over the service's settings: a --scale text, the JSON
// configuration file, the token file. Input: one byte that picks which, then the text.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "config.hpp"
#include "link/port_name.hpp"

namespace {

namespace fs = std::filesystem;
using namespace Wsr37100;
using namespace Wsr37100::service;

void check(bool condition) {
    if (!condition) std::abort();
}

const fs::path& input_file() {
    static const fs::path file = [] {
        const fs::path folder = fs::temp_directory_path() / ("wsr37100-fuzz-config-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        return folder / "input";
    }();
    return file;
}

void write_input(const std::string& text) {
    std::ofstream out(input_file(), std::ios::binary | std::ios::trunc);
    out << text;
}

bool digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

void check_scale(const ScaleSettings& scale) {
    check(valid_scale_name(scale.name));
    check(!scale.port.empty());
    check(digits(scale.baud) && scale.baud.find_first_not_of('0') != std::string::npos);
    check(scale.gap_ms <= 1000);
    check(scale.frame == 0 || scale.frame == 7 || scale.frame == 8);
}

// NAME=PORT:BAUD and the options, as a person writes them.
std::string written(const ScaleSettings& scale) {
    std::string text = scale.name + "=" + scale.port + ":" + scale.baud + ",gap=" + std::to_string(scale.gap_ms);
    if (scale.frame != 0) text += ",frame=" + std::to_string(scale.frame);
    if (!scale.log_dir.empty()) text += ",log-dir=" + scale.log_dir;
    if (scale.no_log) text += ",no-log";
    return text;
}

void scale_option(const std::string& text) {
    ScaleSettings scale;
    try {
        scale = parse_scale(text);
    } catch (const std::invalid_argument&) {
        return;
    }
    check_scale(scale);
    // A network name without its own port would take the baud rate for one: no such name opens.
    const auto scheme = scale.port.find("://");
    if (scheme != std::string::npos && !parse_network_name(scale.port).name) return;
    const ScaleSettings again = parse_scale(written(scale));
    check(again.name == scale.name && again.port == scale.port && again.baud == scale.baud);
    check(again.gap_ms == scale.gap_ms && again.frame == scale.frame && again.log_dir == scale.log_dir &&
          again.no_log == scale.no_log);
}

void configuration_file(const std::string& text) {
    // The file may name a token file: the target reads no file a fuzzed name points at.
    const auto parsed = nlohmann::json::parse(text, nullptr, false, true);
    if (parsed.is_object() && parsed.contains("token_file")) return;
    write_input(text);
    ServeSettings settings;
    try {
        read_config_file(input_file().string(), settings);
    } catch (const std::invalid_argument& error) {
        check(std::string(error.what()).size() < 4096);  // a message, never the document
        return;
    }
    for (const auto& scale : settings.scales) check_scale(scale);
    // A baud rate is taken as written, never cut to fit.
    const auto found = parsed.find("scales");
    const nlohmann::json scales = found == parsed.end() ? nlohmann::json::array() : *found;
    check(scales.size() == settings.scales.size());
    for (std::size_t i = 0; i < scales.size(); ++i) {
        const auto baud = scales[i].find("baud");
        if (baud == scales[i].end()) continue;
        const std::string given = baud->is_string() ? baud->get<std::string>() : baud->dump();
        check(given == settings.scales[i].baud);
    }
    try {
        service::check(settings);
    } catch (const std::invalid_argument&) {
    }
}

void token_file(const std::string& text) {
    write_input(text);
    std::string token;
    try {
        token = read_token_file(input_file().string());
    } catch (const std::invalid_argument&) {
        return;
    }
    check(!token.empty() && token.size() <= 512 && token.find('\n') == std::string::npos);
    const char last = token.back();
    check(last != '\r' && last != ' ' && last != '\t');
    check(text.starts_with(token));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return -1;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: scale_option(text); break;
        case 1: configuration_file(text); break;
        default: token_file(text); break;
    }
    return 0;
}
