// libFuzzer target over the reply decoders and the text searches.
// Input: one byte of choices (bit 0: the decimal separator), then 0 to 8 reply bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include <unistd.h>

#include "log/daily_log.hpp"
#include "replies/replies.hpp"

namespace {

namespace fs = std::filesystem;
using namespace Wsr37100;

const fs::path& log_folder() {
    static const fs::path folder = [] {
        fs::path path = fs::temp_directory_path() / ("wsr37100-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

void check(bool condition) {
    if (!condition) std::abort();
}

void check_result(const Decoded& decoded) {
    if (decoded.status) {
        check(decoded.weight == -1 || decoded.weight == -2 || decoded.weight == -10);
    } else {
        check(std::isfinite(decoded.weight));
    }
}

void check_searches(std::string_view pattern, std::string_view s, int start) {
    const int first = PosDesde(pattern, s, 1);
    const int last = UltimaPos(pattern, s);
    const int from = PosDesde(pattern, s, start);
    check((first == 0) == (last == 0));
    check(last >= first);
    for (int pos : {first, last, from}) {
        if (pos != 0) check(s.substr(static_cast<size_t>(pos - 1), pattern.size()) == pattern);
    }
    check(from == 0 || from >= start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 9) return -1;
    static unsigned runs = 0;
    if (++runs % 2000 == 0) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(log_folder(), ignored)) fs::remove(entry.path(), ignored);
    }
    const char separator = (data[0] & 1) ? ',' : '.';
    const size_t length = size - 1;
    // A buffer of exactly the reply's size: any read past it is caught.
    std::unique_ptr<unsigned char[]> reply(new unsigned char[length ? length : 1]);
    for (size_t i = 0; i < length; ++i) reply[i] = data[1 + i];
    const std::span<const unsigned char> received(reply.get(), length);

    const DailyLog log = DailyLog::in_folder(log_folder().string());
    check_result(decode_fixed_frame(received, log, separator));
    check_result(decode_delimited_frame(received, log, separator));

    const std::string text(received.begin(), received.end());
    const size_t split = data[0] >> 5;  // 0 to 7
    if (split <= text.size()) {
        check_searches(std::string_view(text).substr(0, split == 0 ? 1 : split), text, 1 + ((data[0] >> 1) & 15));
    }
    return 0;
}
