// The monitor's worker: open, poll, report changes, reopen after the port went away.
#include "monitor/monitor.hpp"

#include <utility>

#include "link/open/open_link.hpp"
#include "weighing/reading_text.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {

namespace {

constexpr std::chrono::seconds kChangeLineEvery{1};

bool same(const MonitorReading& a, const MonitorReading& b) {
    const QueryReport& x = a.report;
    const QueryReport& y = b.report;
    return x.outcome == y.outcome && x.reason == y.reason && x.weight == y.weight && x.letter == y.letter &&
           x.port_failure.problem == y.port_failure.problem && a.failure == b.failure;
}

// One log line for a change, in the module's words.
std::string describe(const MonitorReading& reading) {
    if (reading.report.outcome == Outcome::Failure) return "monitor: falha: " + reading.failure;
    return "monitor: " + reading_text(reading.report);
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
}

}  // namespace

// The port as the worker uses it: each poll and drain is a step of its own.
class ScaleMonitor::WatchedLink final : public Link {
public:
    WatchedLink(Link& port, ScaleMonitor& monitor) : port_(port), monitor_(monitor) {}
    std::optional<std::size_t> poll(ReceiveBuffer& buffer, const Interrupt* interrupt) override {
        monitor_.step(monitor_.settings_.link.read_timeout + kStallMargin);
        return port_.poll(buffer, interrupt);
    }
    bool drain(std::chrono::milliseconds limit, const Interrupt* interrupt) override {
        monitor_.step(limit + kStallMargin);
        return port_.drain(limit, interrupt);
    }
    bool set_read_timeout(std::chrono::milliseconds wait) override { return port_.set_read_timeout(wait); }
    using Link::drain;
    std::optional<PortUnavailable> failure() const override { return port_.failure(); }

private:
    Link& port_;
    ScaleMonitor& monitor_;
};

ScaleMonitor::ScaleMonitor(MonitorSettings settings, MonitorListener listener)
    : settings_(std::move(settings)), listener_(std::move(listener)), worker_([this](std::stop_token stop) { run(stop); }) {}

ScaleMonitor::~ScaleMonitor() {
    worker_.request_stop();
    interrupt_.raise();
    // jthread's destructor joins.
}

void ScaleMonitor::dispose(ScaleMonitor* monitor) {
    if (monitor == nullptr) return;
    if (std::this_thread::get_id() == monitor->worker_.get_id()) {
        monitor->frees_itself_ = true;
        monitor->worker_.request_stop();
        monitor->interrupt_.raise();
        return;
    }
    delete monitor;
}

std::uint64_t ScaleMonitor::latest(MonitorReading& reading) {
    std::lock_guard guard(lock_);
    const auto now = settings_.clock();
    // A step seen overdue is a stall only when it is still the same step a
    // moment later: after the whole process was suspended (a machine that
    // slept, a paused virtual machine) every step is overdue at once, and the
    // worker moves on as soon as it runs again.
    if (now <= step_due_ || stalled_) {
        overdue_seen_.reset();
    } else if (!overdue_seen_ || overdue_seen_->first != step_started_) {
        overdue_seen_.emplace(step_started_, now);
    }
    if (!stalled_ && overdue_seen_ && now - overdue_seen_->second >= kStallConfirmation) {
        // The reading from before the stall is no longer what the scale shows.
        stalled_ = true;
        latest_ = MonitorReading{};
        latest_.report.outcome = Outcome::Failure;
        latest_.failure = "monitor parado h\xE1 " + std::to_string(since(step_started_, now).count()) + " ms";
        latest_.number = ++count_;
    }
    reading = latest_;
    return count_;
}

void ScaleMonitor::step(std::chrono::milliseconds allowed) {
    std::optional<std::chrono::milliseconds> stalled_for;
    {
        std::lock_guard guard(lock_);
        const auto now = settings_.clock();
        if (std::exchange(stalled_, false)) stalled_for = since(step_started_, now);
        step_started_ = now;
        step_due_ = now + allowed;
    }
    if (!stalled_for) return;
    // Over: the next reading is told whatever it is, and the log says how long the stall took.
    retell_ = true;
    try {
        settings_.log.GravaLog("monitor: parado por " + std::to_string(stalled_for->count()) + " ms");
    } catch (const Falha&) {
        // The next change tells a log that cannot be written.
    }
}

void ScaleMonitor::idle() {
    std::lock_guard guard(lock_);
    step_due_ = std::chrono::steady_clock::time_point::max();
}

std::optional<std::string> ScaleMonitor::log_failure() const {
    std::lock_guard guard(lock_);
    return log_failure_;
}

template <typename Write>
bool ScaleMonitor::write_line(Write write) {
    std::optional<std::string> failure;
    try {
        write();
        log_failed_at_.reset();
    } catch (const Falha& error) {
        failure = error.what();
        log_failed_at_ = std::chrono::steady_clock::now();
    }
    std::lock_guard guard(lock_);
    const bool written = !failure;
    log_failure_ = std::move(failure);
    return written;
}

void ScaleMonitor::publish(MonitorReading reading) {
    // Only this worker publishes: last_seen_ is its own; latest_ and count_ are shared.
    if (std::exchange(told_, true) && !std::exchange(retell_, false) && same(reading, last_seen_)) return;
    last_seen_ = reading;
    {
        std::lock_guard guard(lock_);
        reading.number = ++count_;
        latest_ = reading;
    }
    if (listener_) listener_(reading);
    // The line after the change is told. While the log fails, a change's line waits for the next
    // try (a second after the last), so a log held by another program holds up no poll either.
    if (reading.report.outcome == Outcome::Failure) return;
    // A change whose line is not written is counted on the next line that is.
    if (log_failed_at_ || !write_line([&] { log_change(reading); })) ++folded_;
}

void ScaleMonitor::log_change(const MonitorReading& reading) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_line_ < kChangeLineEvery) {
        ++folded_;
        return;
    }
    std::string line = describe(reading);
    if (folded_ > 0) line += " (mais " + std::to_string(folded_) + " mudan\xE7""as n\xE3o registradas)";
    settings_.log.GravaLog(line);
    folded_ = 0;
    last_line_ = now;
}

// The reading the folded changes ended on, once its second is over.
void ScaleMonitor::log_folded() {
    if (folded_ == 0 || std::chrono::steady_clock::now() - last_line_ < kChangeLineEvery) return;
    --folded_;  // the line tells this one
    if (!write_line([&] { log_change(last_seen_); })) ++folded_;
}

// A log that could not be written is tried again once a second (a lock let go, a folder put
// back), with the line of the reading as it is now.
void ScaleMonitor::retry_log() {
    if (!told_ || !log_failed_at_ || std::chrono::steady_clock::now() - *log_failed_at_ < kChangeLineEvery) return;
    if (folded_ > 0) --folded_;  // the line tells the latest of them
    if (!write_line([&] { log_change(last_seen_); })) ++folded_;
}

void ScaleMonitor::rest(std::stop_token& stop, std::chrono::milliseconds pause) {
    idle();
    std::unique_lock guard(lock_);
    wake_.wait_for(guard, stop, pause, [] { return false; });
}

// One life of the port: open, poll until it goes away or the monitor stops, close.
void ScaleMonitor::follow(std::stop_token& stop) {
    MonitorReading reading;
    // A network link's connect and negotiation each take up to their own second.
    step(2 * kReadTimeout + kStallMargin);
    auto opened = open_link(settings_.port, settings_.baud, settings_.link, &interrupt_);
    if (!opened && stop.stop_requested()) return;  // a connect or negotiation cut short by the stop is no failure
    if (!opened) {
        // A scale that went away is told once, with why it cannot be reopened.
        lost_.reset();
        reading.report.outcome = Outcome::NoReading;
        reading.report.reason = NoReadingReason::PortUnavailable;
        reading.report.port_failure = std::move(opened.failure);
        publish(std::move(reading));
        rest(stop, settings_.reopen_every);
        return;
    }
    // Reopened at once after a failed poll: the failure is told after all.
    if (lost_) publish(*std::exchange(lost_, std::nullopt));
    write_line([&] { settings_.log.GravaLog("monitor: porta aberta: " + settings_.port + ":"); });
    // A reply to someone else's poll may still be on its way.
    WatchedLink port(*opened.port, *this);
    port.drain(&interrupt_);
    const DailyLog quiet = DailyLog::disabled();
    while (!stop.stop_requested()) {
        const auto poll_started = std::chrono::steady_clock::now();
        reading.report = QueryReport{};
        read_reply(port, quiet, reading.report, &interrupt_, Leftovers::Resync);
        // The change's log line (a lock waited for) and the host's callback.
        step(kLockPatience + kStallMargin);
        if (stop.stop_requested()) break;
        if (reading.report.outcome == Outcome::NoReading && reading.report.reason == NoReadingReason::PollFailed) {
            lost_ = reading;  // reopened at once: a port that is gone says so more clearly than a failed poll
            break;
        }
        publish(reading);
        if (log_failed_at_) {
            retry_log();
        } else {
            log_folded();
        }
        const auto next_poll = poll_started + settings_.poll_every;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll) rest(stop, std::chrono::ceil<std::chrono::milliseconds>(next_poll - now));
    }
    opened.port.reset();
    write_line([&] { settings_.log.GravaLog("monitor: porta fechada: " + settings_.port + ":"); });
    if (!stop.stop_requested() && !lost_) rest(stop, settings_.reopen_every);
}

void ScaleMonitor::run(std::stop_token stop) {
    // A wait for the log's lock ends with the monitor.
    settings_.log = settings_.log.stopped_by(stop);
    while (!stop.stop_requested()) {
        try {
            follow(stop);
        } catch (const std::exception& failure) {
            MonitorReading reading;
            reading.report.outcome = Outcome::Failure;
            reading.failure = failure.what();
            publish(std::move(reading));
            rest(stop, settings_.reopen_every);
        }
    }
    if (frees_itself_) {
        worker_.detach();
        delete this;  // nothing of this object is touched after it
    }
}

}  // namespace Wsr37100
