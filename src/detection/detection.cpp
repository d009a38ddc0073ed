// Probing a port rate by rate, each poll's wait cut to the reply's wire time.
#include "detection/detection.hpp"

#include <algorithm>
#include <exception>
#include <string>

#include "base/conversions.hpp"
#include "wsr37100_falha.hpp"
#include "base/quoted.hpp"
#include "link/deadline.hpp"
#include "link/open/open_link.hpp"
#include "log/daily_log.hpp"

namespace Wsr37100 {

namespace {

constexpr std::size_t kMaxRates = 16;
constexpr std::int32_t kBitsPerByte = 10;  // start, eight data bits, stop
// How long the line may take to fall quiet before a rate's first poll: a frame
// still on its way at 2400 (37 ms) and an adapter's burst, with room.
constexpr std::chrono::milliseconds kLineClearing{100};

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

bool frame_of(std::span<const unsigned char> bytes, std::size_t size) {
    return bytes.size() == size && bytes.front() == kStx && bytes.back() == kEtx &&
           std::all_of(bytes.begin() + 1, bytes.end() - 1, printable);
}

std::string trials_text(const std::vector<RateTrial>& trials) {
    std::string text;
    for (const RateTrial& trial : trials) text += (text.empty() ? "" : "; ") + describe(trial);
    return text.empty() ? std::string("nenhuma velocidade testada") : text;
}

// One poll at the open port; the verdict on what it got.
RateTrial poll_once(Link& port, std::int32_t rate, const Interrupt* interrupt) {
    RateTrial trial;
    trial.rate = rate;
    const auto got = port.poll(trial.reply, interrupt);
    if (!got) {
        trial.verdict = LineVerdict::Failed;
        trial.reply = {};
        return trial;
    }
    trial.bytes = *got;
    std::fill(trial.reply.begin() + static_cast<std::ptrdiff_t>(trial.bytes), trial.reply.end(), 0);
    trial.verdict = classify(std::span(trial.reply.data(), trial.bytes), trial.frame);
    return trial;
}

}  // namespace

std::vector<std::int32_t> detection_rates(std::string_view text) {
    if (text.empty()) return {std::begin(kDetectionRates), std::end(kDetectionRates)};
    const std::string list(text);  // the whole list, for the message: text moves on item by item
    std::vector<std::int32_t> rates;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const bool digits = !item.empty() && item.find_first_not_of("0123456789") == std::string_view::npos;
        const std::int32_t rate = digits ? whole_number_conversion(item) : 0;
        if (rate <= 0) throw Falha("Velocidade inv\xE1lida na lista " + quoted(list) + ": " + quoted(std::string(item)));
        rates.push_back(rate);
        if (rates.size() > kMaxRates) throw Falha("Velocidades demais na lista (no m\xE1ximo " + std::to_string(kMaxRates) + ")");
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return rates;
}

std::chrono::milliseconds reply_wait(std::int32_t rate) {
    const long long wire_ms = (static_cast<long long>(1 + kReceiveBufferSize) * kBitsPerByte * 1000 + rate - 1) / rate;
    return std::chrono::milliseconds(wire_ms) + kScaleTurnaround;
}

LineVerdict classify(std::span<const unsigned char> bytes, std::size_t& frame) {
    frame = 0;
    if (bytes.empty()) return LineVerdict::Silence;
    for (const std::size_t size : {std::size_t{7}, std::size_t{8}}) {
        if (frame_of(bytes, size)) {
            frame = size;
            return LineVerdict::Frame;
        }
    }
    return LineVerdict::Garbage;
}

std::string describe(const RateTrial& trial) {
    std::string text = std::to_string(trial.rate) + ": ";
    switch (trial.verdict) {
        case LineVerdict::Frame: return text + "quadro de " + std::to_string(trial.frame) + " bytes";
        case LineVerdict::Garbage: return text + std::to_string(trial.bytes) + " bytes que n\xE3o formam um quadro";
        case LineVerdict::Silence: return text + "sil\xEAncio";
        case LineVerdict::RateRefused: return text + "velocidade recusada pelo dispositivo";
        case LineVerdict::Unanswered: return text + "o servidor n\xE3o respondeu";
        case LineVerdict::Failed: break;
    }
    return text + "a linha falhou";
}

Detection detect_scale(std::string_view port, std::span<const std::int32_t> rates, std::chrono::milliseconds budget,
                       LinkOptions base, const Interrupt* interrupt) {
    Detection found;
    const Deadline deadline(budget);
    if (!link_sets_rate(port)) {
        found.result = DetectionResult::NoRateToSet;
        found.message = "A porta " + quoted(std::string(port)) +
                        " \xE9 TCP puro: a velocidade \xE9 a do servidor serial e n\xE3o se escolhe daqui "
                        "(use rfc2217:// ou configure o servidor)";
        return found;
    }
    base.as_guest = true;
    base.frame_size = 0;
    const auto timed_out = [&found, budget] {
        found.result = DetectionResult::TimedOut;
        found.message = "Tempo esgotado (" + std::to_string(budget.count()) + " ms): " + trials_text(found.trials);
        return found;
    };
    const auto failed = [&found](const PortUnavailable& failure) {
        found.result = DetectionResult::PortUnavailable;
        found.port_failure = failure;
        found.message = failure.message;
        return found;
    };
    // A rate is tried only while the budget holds both its polls.
    const auto both_polls_fit = [&deadline](std::chrono::milliseconds each) { return deadline.remaining() >= 2 * each; };
    // Whether the port has given any byte. The first poll waits the longer
    // wait: a scale that answers late, at its rate or with garbage at another,
    // is heard there without an ENQ at the next rate piling up behind it. Until
    // the port has given a byte, each further rate is taken for silent after its
    // reply's time; once bytes came, every rate taken for silent before is tried
    // again at once with the longer wait (a late answer may have been read at
    // the next rate), and so is each rate after it.
    bool heard = false;
    std::vector<std::int32_t> silent_unheard;
    bool first_poll_made = false;
    std::vector<std::int32_t> pending(rates.rbegin(), rates.rend());  // the next rate at the back
    try {
        while (!pending.empty()) {
            const std::int32_t rate = pending.back();
            pending.pop_back();
            const bool careful = heard || !first_poll_made;
            const auto wait = reply_wait(rate);
            if (!both_polls_fit(wait) || (interrupt != nullptr && interrupt->raised())) return timed_out();
            LinkOptions options = base;
            options.gap = std::max(quiet_time(rate), kAdapterLatency);
            options.read_timeout = wait;
            const OpenResult opened = open_link(port, rate, options, interrupt);
            if (!opened) {
                if (opened.failure.problem == PortProblem::SettingsRefused ||
                    opened.failure.problem == PortProblem::NegotiationUnanswered) {
                    const bool refused = opened.failure.problem == PortProblem::SettingsRefused;
                    found.trials.push_back({rate, refused ? LineVerdict::RateRefused : LineVerdict::Unanswered});
                    continue;
                }
                return failed(opened.failure);
            }
            Link& line = *opened.port;
            // One poll after the line is cleared (what it still carries, a late
            // reply to an earlier poll, is no answer to this one): it waits `full`,
            // or what the budget leaves once `reserve` is kept aside.
            bool cut = false;  // the budget made a wait shorter than it was meant to be
            const auto poll_cleared = [&](std::chrono::milliseconds full, std::chrono::milliseconds reserve) {
                if (!line.drain(kLineClearing, interrupt)) return RateTrial{rate, LineVerdict::Failed};
                const auto limit = std::min(full, deadline.remaining() - reserve);
                cut = limit < full;
                if (limit.count() <= 0) return RateTrial{rate, LineVerdict::Silence};
                if (!line.set_read_timeout(limit)) return RateTrial{rate, LineVerdict::Failed};
                first_poll_made = true;
                RateTrial trial = poll_once(line, rate, interrupt);
                heard = heard || trial.bytes > 0;
                return trial;
            };
            const auto first_wait = careful ? wait + kSilenceConfirmation : wait;
            // The first poll keeps the confirmation's reply time aside.
            RateTrial trial = poll_cleared(first_wait, wait);
            if (trial.verdict == LineVerdict::Frame) {
                // The confirmation: a second frame of the same size at this rate, asked
                // once the line is cleared, so that no reply to an earlier poll counts.
                const std::size_t first_frame = trial.frame;
                trial = poll_cleared(wait + kSilenceConfirmation, std::chrono::milliseconds(0));
                if (trial.verdict == LineVerdict::Frame && trial.frame != first_frame) trial.verdict = LineVerdict::Garbage;
            }
            found.trials.push_back(trial);
            if (trial.verdict == LineVerdict::Failed) {
                if (auto failure = line.failure()) return failed(*failure);
                continue;
            }
            if (trial.verdict == LineVerdict::Silence) {
                if (cut) return timed_out();  // its silence was not waited for in full
                if (!heard) silent_unheard.push_back(rate);
            }
            if (heard && !silent_unheard.empty()) {
                pending.insert(pending.end(), silent_unheard.rbegin(), silent_unheard.rend());
                silent_unheard.clear();
            }
            if (trial.verdict != LineVerdict::Frame) continue;
            found.result = DetectionResult::Found;
            found.rate = rate;
            found.frame = trial.frame;
            found.reply = trial.reply;
            const DailyLog quiet = DailyLog::disabled();
            const auto frame = std::span<const unsigned char>(trial.reply.data(), trial.frame);
            found.said = trial.frame == 7 ? decode_fixed_frame(frame, quiet, '.') : decode_delimited_frame(frame, quiet, '.');
            found.message = "Balan\xE7" "a encontrada em " + quoted(std::string(port)) + " a " + std::to_string(rate) +
                            " baud, quadro de " + std::to_string(trial.frame) + " bytes";
            return found;
        }
    } catch (const std::exception& failure) {
        return failed({PortProblem::Other, 0, failure.what()});
    }
    if (interrupt != nullptr && interrupt->raised()) return timed_out();
    found.result = DetectionResult::NotFound;
    found.message = "Nenhuma balan\xE7" "a respondeu em " + quoted(std::string(port)) + ": " + trials_text(found.trials);
    return found;
}

}  // namespace Wsr37100
