// The monitor's worker: open, poll, report changes, reopen after the port went away.
#include "monitor/monitor.hpp"

#include <utility>

#include "weighing/reading_text.hpp"
#include "base/falha.hpp"

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

}  // namespace

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

std::uint64_t ScaleMonitor::latest(MonitorReading& reading) const {
    std::lock_guard guard(lock_);
    reading = latest_;
    return count_;
}

void ScaleMonitor::publish(MonitorReading reading) {
    // Only this worker publishes: last_seen_ is its own; latest_ and count_ are shared.
    if (count_ > 0 && same(reading, last_seen_)) return;
    last_seen_ = reading;
    if (reading.report.outcome != Outcome::Failure) {
        // A log that cannot be written turns this change into a failure, once: the
        // same reading at the next poll is no change, so no callback for each poll.
        try {
            log_change(reading);
        } catch (const Falha& failure) {
            reading.report.outcome = Outcome::Failure;
            reading.failure = failure.what();
        }
    }
    {
        std::lock_guard guard(lock_);
        latest_ = reading;
        ++count_;
    }
    if (listener_) listener_(reading);
}

void ScaleMonitor::log_change(const MonitorReading& reading) {
    const auto now = std::chrono::steady_clock::now();
    if (count_ > 0 && now - last_line_ < kChangeLineEvery) {
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
    try {
        log_change(last_seen_);
    } catch (const Falha&) {
        folded_ = 0;  // the next change tells the failure
    }
}

void ScaleMonitor::rest(std::stop_token& stop, std::chrono::milliseconds pause) {
    std::unique_lock guard(lock_);
    wake_.wait_for(guard, stop, pause, [] { return false; });
}

// One life of the port: open, poll until it goes away or the monitor stops, close.
void ScaleMonitor::follow(std::stop_token& stop) {
    MonitorReading reading;
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
    settings_.log.GravaLog("monitor: porta aberta: " + settings_.port + ":");
    // A reply to someone else's poll may still be on its way.
    opened.port->drain(&interrupt_);
    const DailyLog quiet = DailyLog::disabled();
    while (!stop.stop_requested()) {
        reading.report = QueryReport{};
        read_reply(*opened.port, quiet, reading.report, &interrupt_, Leftovers::Resync);
        if (stop.stop_requested()) break;
        if (reading.report.outcome == Outcome::NoReading && reading.report.reason == NoReadingReason::PollFailed) {
            lost_ = reading;  // reopened at once: a port that is gone says so more clearly than a failed poll
            break;
        }
        publish(reading);
        log_folded();
    }
    opened.port.reset();
    settings_.log.GravaLog("monitor: porta fechada: " + settings_.port + ":");
    if (!stop.stop_requested() && !lost_) rest(stop, settings_.reopen_every);
}

void ScaleMonitor::run(std::stop_token stop) {
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
