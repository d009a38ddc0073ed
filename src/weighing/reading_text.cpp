// A reading told in one line of the module's words.
#include "weighing/reading_text.hpp"

#include <cstdio>

#include "log/regional.hpp"

namespace Wsr37100 {

namespace {
std::string weight_text(double weight) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", weight);
    std::string result(text);
    for (char& c : result) {
        if (c == '.') c = decimal_separator();
    }
    return result;
}
}  // namespace

std::string reading_text(const QueryReport& r) {
    switch (r.outcome) {
        case Outcome::Weight: return "peso = " + weight_text(r.weight);
        case Outcome::Status:
            return "status = " + weight_text(r.weight) +
                   (r.letter != 0 ? std::string(" (") + r.letter + ")" : std::string(" (resposta ileg\xEDvel)"));
        case Outcome::Failure: return "falha";
        case Outcome::NoReading: break;
    }
    switch (r.reason) {
        case NoReadingReason::PortUnavailable: return "sem leitura: " + r.port_failure.message;
        case NoReadingReason::PollFailed: return "sem leitura: a consulta falhou";
        case NoReadingReason::Silence: return "sem leitura: sil\xEAncio";
        case NoReadingReason::PartialReplies: return "sem leitura: respostas parciais";
        case NoReadingReason::None: break;
    }
    return "sem leitura";
}

}  // namespace Wsr37100
