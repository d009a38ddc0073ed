// The weight query: log, open, poll up to five times, decode, close.
#include "weighing/weight_query.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "log/regional.hpp"
#include "replies/replies.hpp"
#include "weighing/reading_text.hpp"
#include "link/deadline.hpp"
#include "link/open/open_link.hpp"

namespace Wsr37100 {

namespace {
constexpr std::size_t kFixedFrameSize = 7;
constexpr std::size_t kDelimitedFrameSize = 8;

void no_reading(QueryReport& report, NoReadingReason reason) {
    report.outcome = Outcome::NoReading;
    report.reason = reason;
    report.weight = 0;
    report.letter = 0;
}

// Whether a stable wait may end on this answer; counts equal weights.
bool settled(const QueryReport& report, const StableWait& wait, double& last_weight, unsigned& equal) {
    if (report.outcome == Outcome::Status) {
        equal = 0;
        return report.letter == 'N' || report.letter == 'S';
    }
    equal = (equal > 0 && report.weight == last_weight) ? equal + 1 : 1;
    last_weight = report.weight;
    return equal >= std::max(1u, wait.equal_readings);
}
}  // namespace

void read_reply(Link& port, const DailyLog& log, QueryReport& report, const Interrupt* interrupt,
                Leftovers leftovers) {
    ReceiveBuffer buffer{};
    report.reply_size = 0;
    for (int attempt = 1; attempt <= kMaxPolls; ++attempt) {
        const auto count = port.poll(buffer, interrupt);
        ++report.polls;
        if (!count) {
            if (auto why = port.failure()) report.port_failure = std::move(*why);
            return no_reading(report, NoReadingReason::PollFailed);
        }
        const std::size_t act_read = *count;
        report.reply_size = act_read;
        std::copy(buffer.begin(), buffer.end(), report.reply.begin());
        log.GravaLog("actRead = " + std::to_string(act_read));

        const bool frame = act_read == kFixedFrameSize || act_read == kDelimitedFrameSize;
        if (frame && leftovers == Leftovers::Resync && buffer[0] != kStx) {
            if (!port.drain(interrupt)) return no_reading(report, NoReadingReason::PollFailed);
            continue;
        }
        if (frame) {
            const std::span<const unsigned char> reply(buffer.data(), act_read);
            const Decoded decoded = act_read == kFixedFrameSize
                                        ? decode_fixed_frame(reply, log, decimal_separator())
                                        : decode_delimited_frame(reply, log, decimal_separator());
            report.outcome = decoded.status ? Outcome::Status : Outcome::Weight;
            report.reason = NoReadingReason::None;
            report.weight = decoded.weight;
            report.letter = decoded.letter;
            return;
        }
        if (act_read == 0) {
            log.GravaLog("actRead = 0");
            return no_reading(report, NoReadingReason::Silence);
        }
        // 1 to 6 bytes: dropped; the next poll goes out at once and reads
        // whatever of this reply is still on its way.
    }
    no_reading(report, NoReadingReason::PartialReplies);
}

// Unreadable replies in a row that end a stable wait.
constexpr unsigned kUnreadableEndsAWait = 5;

double weight_query(std::string_view sPorta, std::string_view sVelocidade, const DailyLog& log, LinkOptions link,
                    QueryReport& report, StableWait wait) {
    report = QueryReport{};
    log.GravaLog("porta configurada: " + std::string(sPorta));
    log.GravaLog("lendo a porta: " + std::string(sPorta) + ":");

    auto opened = open_link(sPorta, sVelocidade, std::move(link));
    if (!opened) {
        report.port_failure = std::move(opened.failure);
        no_reading(report, NoReadingReason::PortUnavailable);
        return report.weight;
    }
    if (wait.within.count() == 0) {
        read_reply(*opened.port, log, report);
        return report.weight;
    }
    // A stable wait polls back to back: its log tells the start, each change of
    // the answer and the end, not every poll's bytes.
    log.GravaLog("espera est\xE1vel: at\xE9 " + std::to_string(wait.within.count()) + " ms" +
                 (wait.equal_readings > 1 ? ", " + std::to_string(wait.equal_readings) + " leituras iguais" : ""));
    const DailyLog quiet = DailyLog::disabled();
    const Deadline until(wait.within);
    double last_weight = 0;
    unsigned equal = 0;
    unsigned unreadable = 0;
    std::string told;
    for (;;) {
        read_reply(*opened.port, quiet, report);
        if (std::string now = reading_text(report); now != told) {
            log.GravaLog("espera est\xE1vel: " + now);
            told = std::move(now);
        }
        if (report.outcome == Outcome::NoReading) break;
        report.settled = settled(report, wait, last_weight, equal);
        // A reply that is neither a number nor a status letter (most often a wrong baud rate)
        // never settles: a few in a row end the wait as running out would, without hammering the line.
        unreadable = report.outcome == Outcome::Status && report.letter == 0 ? unreadable + 1 : 0;
        if (report.settled || until.expired() || unreadable >= kUnreadableEndsAWait) break;
    }
    const char* end = report.settled                           ? "est\xE1vel"
                      : report.outcome == Outcome::NoReading    ? "sem resposta"
                      : unreadable >= kUnreadableEndsAWait      ? "respostas ileg\xEDveis"
                                                                : "tempo esgotado";
    log.GravaLog(std::string("espera est\xE1vel: fim: ") + end + " ap\xF3s " + std::to_string(report.polls) + " consultas");
    return report.weight;
}

}  // namespace Wsr37100
