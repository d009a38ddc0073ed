// What the service answers to a request, apart from any connection: the host and origin checks, the route,
// its method, query and token, and the answer, or the description of a wait or of an event stream.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config.hpp"
#include "scale.hpp"

namespace Wsr37100::service {

using Json = nlohmann::ordered_json;

// A fixed word per kind of path for the metrics, so the series stay few whatever the clients ask for.
enum class Route { other, refused, page, health, metrics, problem, scales, scale, reading, events, openapi };
std::string_view route_name(Route route);

// The parts of a request an answer depends on; a header the request lacks is nullopt.
struct Request {
    std::string method;  // as sent: "GET"
    std::string target;
    std::optional<std::string> host;
    std::optional<std::string> origin;
    std::optional<std::string> authorization;
};

struct Reply {
    unsigned status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false;  // the connection ends after this answer, whatever the request asked
};

// A reading that is not there yet: wait on this scale until the condition holds or wait_ms pass.
struct Wait {
    std::size_t scale;
    bool stable;  // until a settled reading; otherwise until the first
    unsigned wait_ms;
};

// An event stream of one scale, or (nullopt) of every scale.
struct Stream {
    std::optional<std::size_t> scale;
};

struct Routed {
    Route route = Route::other;
    std::string origin;  // for Access-Control-Allow-Origin; "" for none
    bool origin_refused = false;  // the request came from an origin not among --allow-origin
    bool head = false;   // the answer goes without its body
    std::variant<Reply, Wait, Stream> action;
};

// What the routes read of the service. Used from the network thread only.
class RouteContext {
public:
    virtual const ServeSettings& settings() const = 0;
    // It listens on a loopback address: only loopback names (and the allowed hosts) are taken in Host.
    virtual bool loopback_only() const = 0;
    // Of the scale at this index of settings().scales.
    virtual const Snapshot& latest(std::size_t scale) const = 0;
    // The scale as clients see it: name, port, state, reading.
    virtual Json scale_json(std::size_t scale) const = 0;
    virtual std::string metrics_text() const = 0;
    // The origins refused lately, for the scales' list: each with its requests and the last one's time.
    virtual Json refused_origins() const = 0;
    // Whether the scale's log cannot be written now (its readings go on).
    virtual bool log_failing(std::size_t) const { return false; }

protected:
    ~RouteContext() = default;
};

Routed route(const Request& request, const RouteContext& context);

// A request's path, Host or Origin may hold any byte: what is not UTF-8 is written as U+FFFD, never thrown.
std::string dumped(const Json& json);
Reply problem_reply(std::string_view code, const std::string& detail, Json extra = Json());

// The snapshot ends the wait.
bool wait_over(const Wait& wait, const Snapshot& snapshot);
// The answer to a wait that ended on this snapshot, or that ran out of time (timed_out: its deadline, or the
// client's hang-up).
Reply waited(const Wait& wait, const Snapshot& snapshot, bool timed_out, const RouteContext& context);

}  // namespace Wsr37100::service
