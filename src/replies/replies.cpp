// The fixed-frame and delimited-frame decoders and their text searches.
#include "replies/replies.hpp"

#include <algorithm>
#include <string>

#include "base/conversions.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {

namespace {

// Five characters, two of them before the decimal separator.
constexpr size_t kFixedDigits = 5;
constexpr size_t kFixedWholeDigits = 2;
// "e := 9": one past the eighth byte, so the text runs to the end of the buffer.
constexpr int kPastBuffer = 9;
constexpr double kGramsPerKilogram = 1000.0;

bool is_blank_or_control(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string trimmed(std::string_view text) {
    while (!text.empty() && is_blank_or_control(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank_or_control(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::string with_separator(std::string text, char separator) {
    std::replace(text.begin(), text.end(), '.', separator);
    std::replace(text.begin(), text.end(), ',', separator);
    return text;
}

}  // namespace

std::string reply_text(std::span<const unsigned char> received) {
    auto end = std::find(received.begin(), received.end(), 0);
    return std::string(received.begin(), end);
}

char status_letter(std::string_view text) {
    if (text.empty()) return 0;
    return text.front() == 'I' || text.front() == 'N' || text.front() == 'S' ? text.front() : 0;
}

double status_for(std::string_view text) {
    if (text.empty()) return kStatusI;
    switch (text.front()) {
        case 'I': return kStatusI;
        case 'N': return kStatusN;
        case 'S': return kStatusS;
        default: return kStatusI;
    }
}

double TrataResposta7(std::span<const unsigned char> received, const DailyLog& log, char separator) {
    return decode_fixed_frame(received, log, separator).weight;
}

double TrataResposta8(std::span<const unsigned char> received, const DailyLog& log, char separator) {
    return decode_delimited_frame(received, log, separator).weight;
}

Decoded decode_fixed_frame(std::span<const unsigned char> received, const DailyLog& log, char separator) {
    std::string text = reply_text(received);
    std::string r = text.size() > 1 ? text.substr(1, kFixedDigits) : std::string();
    r.insert(std::min(r.size(), kFixedWholeDigits), 1, separator);
    try {
        log.GravaLog("Valor de R = " + r);
        return {decimal_conversion(r, separator), false};
    } catch (const Falha&) {
        return {status_for(r), true, status_letter(r)};
    }
}

Decoded decode_delimited_frame(std::span<const unsigned char> received, const DailyLog& log, char separator) {
    log.GravaLog("actRead = 8");
    const std::string b = reply_text(received);
    log.GravaLog("Valor de buffer = " + b);

    const int s = UltimaPos(std::string(1, static_cast<char>(kStx)), b);
    int e = PosDesde(std::string(1, static_cast<char>(kEtx)), b, s + 1);
    if (e == 0) e = kPastBuffer;
    // Characters s+1 .. e-1 (1-based), clipped to the text.
    const size_t first = std::min(static_cast<size_t>(s), b.size());
    const size_t count = static_cast<size_t>(e - 1 - s);
    std::string s_resp = trimmed(std::string_view(b).substr(first, count));
    log.GravaLog("Valor de sResp = " + s_resp);

    s_resp = with_separator(std::move(s_resp), separator);
    Decoded decoded;
    try {
        if (s_resp.find(separator) != std::string::npos) {
            decoded.weight = decimal_conversion(s_resp, separator);
        } else {
            decoded.weight = whole_number_conversion(s_resp) / kGramsPerKilogram;
        }
        log.GravaLog("Ajustando o separador decimal: " + s_resp);
    } catch (const Falha& failure) {
        log.GravaLog(std::string("Except erro: ") + failure.what());
        const std::string first_char = trimmed(s_resp).substr(0, 1);
        decoded = {status_for(first_char), true, status_letter(first_char)};
        if (first_char != "I" && first_char != "N" && first_char != "S") {
            log.GravaLog(" except Op\xE7\xE3o else = -1");
        }
    }
    return decoded;
}

int UltimaPos(std::string_view pattern, std::string_view s) {
    int last = 0;
    int found = PosDesde(pattern, s, 1);
    while (found != 0) {
        last = found;
        found = PosDesde(pattern, s, found + 1);
    }
    return last;
}

int PosDesde(std::string_view pattern, std::string_view s, int start) {
    if (start <= 1) {
        size_t at = s.find(pattern);
        return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
    }
    const int last_start = static_cast<int>(s.size()) - static_cast<int>(pattern.size()) + 1;
    for (int i = start; i <= last_start; ++i) {
        if (s.substr(static_cast<size_t>(i - 1), pattern.size()) == pattern) return i;
    }
    return 0;
}

}  // namespace Wsr37100
