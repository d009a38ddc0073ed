// Following a scale: a worker that holds the port, polls it continuously and reports each change.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

#include "log/daily_log.hpp"
#include "link/interrupt.hpp"
#include "link/link.hpp"
#include "weighing/weight_query.hpp"

namespace Wsr37100 {

inline constexpr std::chrono::milliseconds kReopenEvery{500};
// The least time from one poll's start to the next: a scale that answers at
// once (a simulator, a device server) is polled 20 times a second, not
// thousands, and a change still shows within a poll or two.
inline constexpr std::chrono::milliseconds kPollEvery{50};
// How much longer than its own time-outs a step of the monitor (an open, a
// poll, a change's log line and callback) may take before the monitor is
// reported stalled.
inline constexpr std::chrono::milliseconds kStallMargin{1000};
// How long a step seen overdue must stay the same step to be told as a stall.
inline constexpr std::chrono::milliseconds kStallConfirmation{200};

struct MonitorSettings {
    std::string port;  // as the host named it ("COM1")
    std::string baud;
    LinkOptions link;
    DailyLog log = DailyLog::disabled();
    std::chrono::milliseconds reopen_every = kReopenEvery;
    std::chrono::milliseconds poll_every = kPollEvery;
    // The clock a step's time is measured by (a test's own, to suspend the process in thought).
    std::function<std::chrono::steady_clock::time_point()> clock = [] { return std::chrono::steady_clock::now(); };
};

// A reading as the monitor reports it: the query's report, or a failure's message.
struct MonitorReading {
    QueryReport report;
    std::string failure;      // with Outcome::Failure
    std::uint64_t number = 0;  // the change's number, as `latest` returns it
};

// Called on the worker thread, never while a lock is held.
using MonitorListener = std::function<void(const MonitorReading&)>;

// Holds the port open (exclusively) and polls it, a poll every `poll_every`
// at most (back to back when a reply takes longer); reports a
// reading whenever it differs from the last one reported (weight, status, no
// reading and its reason, failure). When the port goes away it reports that
// once and tries to open it again every `reopen_every`. The log gets a line on
// open, close and each change, not one per poll, and at most one change line a
// second: a flickering reading's other changes are counted on the next line.
// A change is told first and its log line written after: a log held by
// another program, or one that cannot be written, never delays, hides or
// replaces a reading. Such a log is a condition of its own (`log_failure`),
// tried again once a second.
// A step that does not end in time (a driver whose read never returns, a
// callback that blocks) makes `latest` report a failure, "monitor parado há N
// ms", instead of the reading from before; once the step ends the monitor
// reports its reading again, changed or not.
class ScaleMonitor {
public:
    ScaleMonitor(MonitorSettings settings, MonitorListener listener);
    ScaleMonitor(const ScaleMonitor&) = delete;
    ScaleMonitor& operator=(const ScaleMonitor&) = delete;
    // Stops: ends any wait at once, joins the worker; no listener call runs
    // after it. Must not run on the worker thread (see dispose).
    ~ScaleMonitor();

    // The latest reading reported and its number (1 for the first, 0 before
    // any), or the stall, which counts as a change of its own. Never waits
    // for the port. Thread safe.
    std::uint64_t latest(MonitorReading& reading);

    // Ends a monitor from any thread, its own listener included: on the
    // worker thread the monitor stops after the listener returns and frees
    // itself; elsewhere it is stopped and freed before this returns.
    static void dispose(ScaleMonitor* monitor);

    // Why the last log line could not be written, or nothing while lines are
    // written. Thread safe.
    std::optional<std::string> log_failure() const;

private:
    void run(std::stop_token stop);
    void follow(std::stop_token& stop);
    void publish(MonitorReading reading);
    void log_change(const MonitorReading& reading);
    void log_folded();
    void retry_log();
    // Writes a line through `write`; a failure becomes the log's condition, not a reading.
    // Whether it was written.
    template <typename Write>
    bool write_line(Write write);
    void rest(std::stop_token& stop, std::chrono::milliseconds pause);
    // The worker starts a step that should end within `allowed`.
    void step(std::chrono::milliseconds allowed);
    // The worker waits on purpose (between reopenings): no stall.
    void idle();
    class WatchedLink;

    MonitorSettings settings_;
    MonitorListener listener_;
    Interrupt interrupt_;
    mutable std::mutex lock_;
    std::condition_variable_any wake_;
    MonitorReading latest_;      // what the host is told: the reading, or the failure to log it
    MonitorReading last_seen_;   // the scale's own last reading, against which a change is found
    std::optional<MonitorReading> lost_;  // a poll that failed, told only if reopening at once does not say more
    std::uint64_t count_ = 0;
    // When the worker's current step should have ended; whether `latest`
    // told a stall; whether the next reading is told even if unchanged.
    std::chrono::steady_clock::time_point step_due_ = std::chrono::steady_clock::time_point::max();
    std::chrono::steady_clock::time_point step_started_{};
    // The step `latest` first saw overdue, and when.
    std::optional<std::pair<std::chrono::steady_clock::time_point, std::chrono::steady_clock::time_point>> overdue_seen_;
    bool stalled_ = false;
    bool retell_ = false;  // set on the worker thread only
    bool told_ = false;    // the worker's: a reading was published
    // When a change's log line last failed, and why; none while the log is written.
    std::optional<std::chrono::steady_clock::time_point> log_failed_at_;  // the worker's own
    std::optional<std::string> log_failure_;                              // shared, under lock_
    // A reading that flickers gets at most one change line a second in the log; the
    // changes folded meanwhile are counted on the next line.
    std::chrono::steady_clock::time_point last_line_{};
    std::uint64_t folded_ = 0;
    bool frees_itself_ = false;  // set on the worker thread only
    std::jthread worker_;        // last: starts once everything else is there
};

}  // namespace Wsr37100
