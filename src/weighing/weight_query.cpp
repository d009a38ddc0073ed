// The weight query: log, open, poll up to five times, decode, close.
#include "weighing/weight_query.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "log/regional.hpp"
#include "replies/replies.hpp"

namespace Wsr37100 {

namespace {
constexpr std::size_t kFixedFrameSize = 7;
constexpr std::size_t kDelimitedFrameSize = 8;

double no_reading(QueryReport& report, NoReadingReason reason) {
    report.outcome = Outcome::NoReading;
    report.reason = reason;
    report.weight = 0;
    return 0;
}
}  // namespace

double weight_query(std::string_view sPorta, std::string_view sVelocidade, const DailyLog& log, LinkOptions link,
                    QueryReport& report) {
    report = QueryReport{};
    log.GravaLog("porta configurada: " + std::string(sPorta));
    const std::string device = std::string(sPorta) + ":";
    log.GravaLog("lendo a porta: " + device);

    auto opened = SerialPort::open(device, sVelocidade, std::move(link));
    if (!opened) {
        report.port_failure = std::move(opened.failure);
        return no_reading(report, NoReadingReason::PortUnavailable);
    }
    const auto& port = opened.port;

    ReceiveBuffer buffer{};
    for (int attempt = 1; attempt <= kMaxPolls; ++attempt) {
        const auto count = port->poll(buffer);
        report.polls = attempt;
        if (!count) return no_reading(report, NoReadingReason::PollFailed);
        const std::size_t act_read = *count;
        report.reply_size = act_read;
        std::copy(buffer.begin(), buffer.end(), report.reply.begin());
        log.GravaLog("actRead = " + std::to_string(act_read));

        if (act_read == kFixedFrameSize || act_read == kDelimitedFrameSize) {
            const std::span<const unsigned char> reply(buffer.data(), act_read);
            const Decoded decoded = act_read == kFixedFrameSize
                                        ? decode_fixed_frame(reply, log, decimal_separator())
                                        : decode_delimited_frame(reply, log, decimal_separator());
            report.outcome = decoded.status ? Outcome::Status : Outcome::Weight;
            report.weight = decoded.weight;
            return decoded.weight;
        }
        if (act_read == 0) {
            log.GravaLog("actRead = 0");
            return no_reading(report, NoReadingReason::Silence);
        }
        // 1 to 6 bytes: dropped; the next poll goes out at once and reads
        // whatever of this reply is still on its way.
    }
    return no_reading(report, NoReadingReason::PartialReplies);
}

}  // namespace Wsr37100
