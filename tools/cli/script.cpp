// Turns --weight/--status/--silent/--partial/--sequence into the scale's reply script.
#include "script.hpp"

#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace Wsr37100::cli {

namespace {

std::string weight_frame(double kilograms, int frame) {
    if (!(kilograms >= 0 && kilograms < (frame == 7 ? 100 : 1000))) {  // NaN too
        throw std::invalid_argument("weight out of range for a " + std::to_string(frame) + "-byte frame");
    }
    return frame == 7 ? fixed_frame_for(kilograms) : delimited_frame_for(kilograms);
}

std::string status_frame(const std::string& letter, int frame) {
    if (letter != "I" && letter != "N" && letter != "S") throw std::invalid_argument("status must be I, N or S");
    return frame == 7 ? fixed_frame(std::string(5, letter[0])) : delimited_frame(std::string(6, letter[0]));
}

std::string from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0 || hex.empty() || hex.size() > 16) throw std::invalid_argument("hex: 1 to 8 bytes, as 02314103");
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') throw std::invalid_argument("hex: not a hex byte: " + pair);
        bytes += static_cast<char>(value);
    }
    return bytes;
}

// Always with a decimal point, whatever the user's locale.
double number(const std::string& text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw std::invalid_argument("not a weight: " + text);
    }
    return value;
}

std::string partial(int count, const std::string& frame) {
    if (count < 1 || count > 6) throw std::invalid_argument("partial: 1 to 6 bytes");
    return frame.substr(0, static_cast<size_t>(count));
}

// One item of --sequence: 1.234, I, N, S, silent, partial:N, hex:0231...
std::string item_bytes(const std::string& item, const SimulateOptions& options, bool& silent) {
    silent = false;
    if (item == "silent") {
        silent = true;
        return {};
    }
    if (item == "I" || item == "N" || item == "S") return status_frame(item, options.frame);
    if (item.rfind("partial:", 0) == 0) {
        return partial(std::atoi(item.c_str() + 8), weight_frame(options.weight, options.frame));
    }
    if (item.rfind("hex:", 0) == 0) return from_hex(item.substr(4));
    return weight_frame(number(item), options.frame);
}

}  // namespace

std::vector<ScaleReply> build_script(const SimulateOptions& options) {
    if (options.frame != 7 && options.frame != 8) throw std::invalid_argument("--frame is 7 or 8");
    const std::chrono::milliseconds delay(options.delay_ms);
    auto reply = [&](const std::string& bytes, bool silent) {
        return silent ? ScaleReply::silence() : ScaleReply::after(delay, bytes);
    };
    std::vector<ScaleReply> script;
    if (!options.sequence.empty()) {
        size_t start = 0;
        while (start <= options.sequence.size()) {
            const size_t comma = options.sequence.find(',', start);
            const std::string item = options.sequence.substr(start, comma - start);
            bool silent = false;
            const std::string bytes = item_bytes(item, options, silent);
            script.push_back(reply(bytes, silent));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    } else if (options.silent) {
        script.push_back(ScaleReply::silence());
    } else if (!options.status.empty()) {
        script.push_back(reply(status_frame(options.status, options.frame), false));
    } else if (options.partial > 0) {
        script.push_back(reply(partial(options.partial, weight_frame(options.weight, options.frame)), false));
    } else {
        script.push_back(reply(weight_frame(options.weight, options.frame), false));
    }
    return script;
}

std::vector<ScaleReply> script_for_line(const std::string& line, const SimulateOptions& options) {
    const char* blanks = " \t\r";
    const size_t first = line.find_first_not_of(blanks);
    SimulateOptions changed = options;
    changed.sequence = first == std::string::npos ? std::string() : line.substr(first, line.find_last_not_of(blanks) + 1 - first);
    if (changed.sequence.empty()) throw std::invalid_argument("an empty line");
    return build_script(changed);
}

}  // namespace Wsr37100::cli
