// The Prometheus text exposition (format 0.0.4) of the service's counters.
#include "metrics.hpp"

#include <algorithm>
#include <charconv>

#include "common/reading.hpp"
#include "scale.hpp"

namespace Wsr37100::service {

namespace {

std::string number(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general).ptr;
    return std::string(text, end);
}

// A label's value in the exposition format: backslash, quote and line end escaped.
std::string label_value(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void Metrics::request(std::string_view route, unsigned status, double seconds) {
    ++requests_[{std::string(route), status}];
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) ++latency_buckets_[i];
    }
    ++latency_count_;
    latency_sum_ += seconds;
}

void Metrics::change(const std::string& scale, const WsrLeitura& reading) {
    const auto json = common::to_json(reading, "");
    ++changes_[{scale, json["kind"].get<std::string>()}];
    if (reading.tipo == WSR_SEM_LEITURA) ++no_readings_[{scale, json["reason"].get<std::string>()}];
}

std::string scale_state(const Snapshot& snapshot) {
    if (snapshot.change == 0) return "starting";
    switch (snapshot.reading.tipo) {
        case WSR_PESO: return "weight";
        case WSR_STATUS: return "status";
        case WSR_SEM_LEITURA: return "no-reading";
        default: break;
    }
    // The monitor's own words (Windows-1252) for a read that has not returned.
    constexpr std::string_view kStalled = "monitor parado h\xE1 ";
    const char* text = snapshot.reading.mensagem;
    const std::string_view message(text, static_cast<std::size_t>(std::find(text, text + sizeof snapshot.reading.mensagem, '\0') - text));
    return message.substr(0, kStalled.size()) == kStalled ? "stalled" : "failure";
}

std::string Metrics::text(const std::vector<const Scale*>& scales, std::size_t connections, const Limits& limits,
                          const std::vector<LogWatch::Folder>& logs) const {
    std::string out;
    family(out, "wsr37100_http_requests_total", "counter", "HTTP requests answered, by route and status code.");
    for (const auto& [key, count] : requests_) {
        out += "wsr37100_http_requests_total{route=\"" + key.first + "\",code=\"" + std::to_string(key.second) + "\"} " +
               std::to_string(count) + "\n";
    }
    family(out, "wsr37100_http_request_duration_seconds", "histogram",
           "Time from a request's arrival to its answer (an event stream: to its first event).");
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        out += "wsr37100_http_request_duration_seconds_bucket{le=\"" + number(kBuckets[i]) + "\"} " +
               std::to_string(latency_buckets_[i]) + "\n";
    }
    out += "wsr37100_http_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(latency_count_) + "\n";
    out += "wsr37100_http_request_duration_seconds_sum " + number(latency_sum_) + "\n";
    out += "wsr37100_http_request_duration_seconds_count " + std::to_string(latency_count_) + "\n";
    family(out, "wsr37100_scale_changes_total", "counter", "Changes of a scale's reading, by the new reading's kind.");
    for (const auto& [key, count] : changes_) {
        out += "wsr37100_scale_changes_total{scale=\"" + key.first + "\",kind=\"" + key.second + "\"} " +
               std::to_string(count) + "\n";
    }
    family(out, "wsr37100_scale_no_readings_total", "counter", "Changes to no reading, by reason.");
    for (const auto& [key, count] : no_readings_) {
        out += "wsr37100_scale_no_readings_total{scale=\"" + key.first + "\",reason=\"" + key.second + "\"} " +
               std::to_string(count) + "\n";
    }
    family(out, "wsr37100_scale_up", "gauge", "1 while the scale answers (a weight or a status), else 0.");
    for (const Scale* scale : scales) {
        const int tipo = scale->latest().reading.tipo;
        const bool up = scale->latest().change > 0 && (tipo == WSR_PESO || tipo == WSR_STATUS);
        out += "wsr37100_scale_up{scale=\"" + scale->settings().name + "\"} " + (up ? "1" : "0") + "\n";
    }
    family(out, "wsr37100_scale_state", "gauge",
           "1 for the scale's kind of reading now (starting, weight, status, no-reading, failure, or stalled: a read "
           "that has not returned), 0 for the others.");
    for (const Scale* scale : scales) {
        const std::string now = scale_state(scale->latest());
        for (const char* state : kScaleStates) {
            out += "wsr37100_scale_state{scale=\"" + scale->settings().name + "\",state=\"" + state + "\"} " +
                   (now == state ? "1" : "0") + "\n";
        }
    }
    family(out, "wsr37100_scale_log_failing", "gauge", "1 while the scale's log lines cannot be written (its readings go on), else 0.");
    for (const Scale* scale : scales) {
        out += "wsr37100_scale_log_failing{scale=\"" + scale->settings().name + "\"} " +
               (scale->log_failure().empty() ? "0" : "1") + "\n";
    }
    family(out, "wsr37100_scale_weight_kilograms", "gauge", "The scale's weight, while it reads one.");
    for (const Scale* scale : scales) {
        if (scale->latest().change > 0 && scale->latest().reading.tipo == WSR_PESO) {
            out += "wsr37100_scale_weight_kilograms{scale=\"" + scale->settings().name + "\"} " +
                   number(scale->latest().reading.peso) + "\n";
        }
    }
    family(out, "wsr37100_log_dropped_lines", "gauge",
           "Lines the day's log in a folder the scales log into has dropped past its bound (limite_log_mb) so far "
           "today, whoever wrote them; 0 under it, and again from midnight. None while the day's file cannot be read.");
    for (const auto& log : logs) {
        if (!log.dropped) continue;
        out += "wsr37100_log_dropped_lines{folder=\"" + label_value(log_folder_label(log.folder)) + "\"} " +
               std::to_string(*log.dropped) + "\n";
    }
    family(out, "wsr37100_event_streams", "gauge", "Event streams open on the scale.");
    for (const Scale* scale : scales) {
        out += "wsr37100_event_streams{scale=\"" + scale->settings().name + "\"} " + std::to_string(scale->streams()) + "\n";
    }
    family(out, "wsr37100_connections", "gauge", "Client connections open.");
    out += "wsr37100_connections " + std::to_string(connections) + "\n";
    family(out, "wsr37100_connections_limit", "gauge", "Client connections open at most (limits.connections).");
    out += "wsr37100_connections_limit " + std::to_string(limits.connections) + "\n";
    family(out, "wsr37100_streams_limit", "gauge", "Event streams open at most (limits.streams).");
    out += "wsr37100_streams_limit " + std::to_string(stream_limit(limits)) + "\n";
    family(out, "wsr37100_connections_refused_total", "counter", "Connections refused at the limit of open ones.");
    out += "wsr37100_connections_refused_total " + std::to_string(refused_) + "\n";
    family(out, "wsr37100_streams_refused_total", "counter", "Event streams refused at the limit of open ones.");
    out += "wsr37100_streams_refused_total " + std::to_string(streams_refused_) + "\n";
    family(out, "wsr37100_waiting_requests", "gauge", "Reading requests waiting for a (stable) reading.");
    out += "wsr37100_waiting_requests " + std::to_string(waiting_) + "\n";
    family(out, "wsr37100_connections_evicted_total", "counter",
           "Connections closed to admit another at the limit, while they waited on their client: for a whole request, "
           "or to take their answers.");
    out += "wsr37100_connections_evicted_total " + std::to_string(evicted_) + "\n";
    return out;
}

}  // namespace Wsr37100::service
