// Counters of the service in the Prometheus text format: requests, latency, readings, failures by reason.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "log_watch.hpp"
#include "scale.hpp"
#include "wsr37100.h"

namespace Wsr37100::service {

// The kinds of reading wsr37100_scale_state tells apart, one at 1 for each scale.
inline constexpr const char* kScaleStates[] = {"starting", "weight", "status", "no-reading", "failure", "stalled"};

// Which of kScaleStates a scale's snapshot is in.
std::string scale_state(const Snapshot& snapshot);

// Used from the network thread only.
class Metrics final : public ChangeCounter {
public:
    // route: a fixed word per kind of path ("reading", "events", ...), so the
    // series stay few whatever the clients ask for.
    void request(std::string_view route, unsigned status, double seconds);
    void change(const std::string& scale, const WsrLeitura& reading) override;
    void connection_refused() { ++refused_; }
    void connection_evicted() { ++evicted_; }
    void stream_refused() { ++streams_refused_; }
    void wait_started() { ++waiting_; }
    void wait_ended() { --waiting_; }

    // The exposition, with each scale's gauges as they are now, and the limits in force.
    std::string text(const std::vector<const Scale*>& scales, std::size_t connections, const Limits& limits,
                     const std::vector<LogWatch::Folder>& logs) const;

private:
    static constexpr std::array<double, 9> kBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.05, 0.25, 1, 5};
    std::map<std::pair<std::string, unsigned>, std::uint64_t> requests_;
    std::array<std::uint64_t, kBuckets.size()> latency_buckets_{};
    std::uint64_t latency_count_ = 0;
    double latency_sum_ = 0;
    std::map<std::pair<std::string, std::string>, std::uint64_t> changes_;      // scale, kind
    std::map<std::pair<std::string, std::string>, std::uint64_t> no_readings_;  // scale, reason
    std::uint64_t refused_ = 0;
    std::uint64_t evicted_ = 0;
    std::uint64_t streams_refused_ = 0;
    std::uint64_t waiting_ = 0;
};

}  // namespace Wsr37100::service
