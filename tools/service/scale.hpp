// One configured scale: the monitor that owns its port, its latest reading, and who waits for its changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.hpp"
#include "journal.hpp"
#include "wsr37100.h"

namespace Wsr37100::service {

// A reading as the monitor reported it, numbered as the monitor numbers its
// changes (1 for the first; 0: none yet).
struct Snapshot {
    std::uint64_t change = 0;
    WsrLeitura reading{};
    std::chrono::system_clock::time_point at{};
};

// The state a client sees: "weight", "unstable", "negative", "overload",
// "unreadable", "no-reading", "failure", or "starting" before the first reading.
std::string state_of(const Snapshot& snapshot);

// A request waiting for a change, or an event stream.
class ScaleObserver {
public:
    virtual void on_change(const Snapshot& snapshot) = 0;
    // The service is stopping: no change comes any more.
    virtual void on_stop() = 0;

protected:
    ~ScaleObserver() = default;
};

// Who counts each scale's changes (the service's metrics), told of every change on the network thread.
class ChangeCounter {
public:
    virtual void change(const std::string& scale, const WsrLeitura& reading) = 0;

protected:
    ~ChangeCounter() = default;
};

// Everything but the constructor's monitor callback runs on the service's
// one network thread: `post` hands work to it.
class Scale {
public:
    using Post = std::function<void(std::function<void()>)>;

    Scale(ScaleSettings settings, std::string log_folder, Post post, ChangeCounter& counter, Journal journal);
    ~Scale();
    Scale(const Scale&) = delete;
    Scale& operator=(const Scale&) = delete;

    // Starts the monitor; throws std::runtime_error when it cannot start.
    void start();
    // Stops the monitor (within 50 ms) and tells every observer. Idempotent.
    void stop();
    // Asks the monitor, which cannot call back while it is stalled, whether it
    // is: a stall becomes the scale's latest reading at once.
    void check_stall();
    // Asks the monitor whether its log is written; a change of that is told in the journal.
    void check_log();

    // A reading the monitor told, through its callback or when asked: taken
    // once by its number, whichever way brings it first.
    void take(const WsrLeitura& reading, std::chrono::system_clock::time_point at);

    // Why the scale's last log line could not be written (8-bit, the module's words), or "" while its
    // lines are written: a condition apart from its readings, asked with the stall.
    const std::string& log_failure() const { return log_failure_; }

    const ScaleSettings& settings() const { return settings_; }
    const Snapshot& latest() const { return latest_; }
    // Held weakly: an observer that is gone is dropped.
    void observe(std::weak_ptr<ScaleObserver> observer);
    std::size_t streams() const { return streams_; }
    void stream_opened() { ++streams_; }
    void stream_closed() { --streams_; }
    // The latest snapshot as `render` writes it, made once per change for every stream.
    const std::string& rendered(const std::function<std::string(const Scale&)>& render);

private:
    struct MonitorStop {
        void operator()(WsrMonitor* monitor) const { WsrMonitorEncerra(monitor); }
    };
    static void WSR37100_CALL on_change(const WsrLeitura* leitura, void* context);
    void take_incoming();
    void apply(const WsrLeitura& reading, std::chrono::system_clock::time_point at, std::uint64_t number);

    ScaleSettings settings_;
    std::string log_folder_;
    Post post_;
    ChangeCounter& counter_;
    Journal journal_;
    Snapshot latest_;
    std::string condition_;  // what the journal was last told
    std::string log_failure_;
    std::vector<std::weak_ptr<ScaleObserver>> observers_;
    std::size_t streams_ = 0;
    // Handed over from the monitor's thread: only the newest change waits, and at most
    // one task is posted for it, however fast the scale changes.
    std::mutex incoming_lock_;
    Snapshot incoming_;         // the newest change, with the monitor's number
    bool posted_ = false;
    std::uint64_t rendered_change_ = 0;
    std::string rendered_;
    std::unique_ptr<WsrMonitor, MonitorStop> monitor_;
};

}  // namespace Wsr37100::service
