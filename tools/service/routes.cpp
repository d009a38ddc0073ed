// The service's routes: a request in, an answer (or a wait, or a stream) out.
#include "routes.hpp"

#include <algorithm>
#include <cctype>
#include <map>

#include "openapi.hpp"
#include "problems.hpp"
#include "query.hpp"
#include "common/origin.hpp"
#include "common/reading.hpp"
#include "status_page.hpp"

namespace Wsr37100::service {

namespace {

constexpr unsigned kFirstReadingMs = 3000;  // default timeout_ms

bool port_digits(std::string_view text) {
    return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The host part of a Host header: "[::1]:8370" -> "::1", "localhost:80" -> "localhost";
// "" when anything but ":PORT" follows the name ("[::1]evil.example").
std::string host_name(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return {};
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && !(rest.front() == ':' && port_digits(rest.substr(1)))) return {};
        return std::string(host.substr(1, close - 1));
    }
    const auto colon = host.find(':');
    if (colon != std::string_view::npos && !port_digits(host.substr(colon + 1))) return {};
    std::string name(host.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

bool same_text_in_constant_time(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return difference == 0;
}

bool same_letters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// What a stable wait ends on, as BuscaPesoEx's: a weight, an N or S status, or no answer.
bool settled(const Snapshot& snapshot) {
    const WsrLeitura& reading = snapshot.reading;
    if (snapshot.change == 0) return false;
    if (reading.tipo == WSR_STATUS) return reading.peso == -2 || reading.peso == -10;
    return true;
}

Reply json_reply(const Json& json) { return Reply{200, "application/json", dumped(json), {}}; }

bool host_allowed(const Request& request, const ServeSettings& settings, bool loopback_only) {
    if (!loopback_only || !request.host) return true;
    const std::string name = host_name(*request.host);
    const auto& extra = settings.allowed_hosts;
    return name == "localhost" || name == "127.0.0.1" || name == "::1" || name == settings.listen ||
           std::find(extra.begin(), extra.end(), name) != extra.end();
}

// The request's Origin when it may be answered with CORS headers; "" for none (same origin, or no Origin).
// nullopt when the origin is refused.
std::optional<std::string> cors_origin(const Request& request, const ServeSettings& settings) {
    if (!request.origin) return std::string();
    const std::string& value = *request.origin;
    const auto& allowed = settings.allowed_origins;
    if (std::find(allowed.begin(), allowed.end(), value) != allowed.end()) return value;
    if (value == "http://" + request.host.value_or("")) return std::string();
    return std::nullopt;
}

bool authorized(const Request& request, const std::map<std::string, std::string>& query, const std::string& token) {
    if (token.empty()) return true;
    if (request.authorization) {
        const std::string_view value = *request.authorization;
        constexpr std::string_view kBearer = "Bearer ";
        return value.size() > kBearer.size() && same_letters(value.substr(0, kBearer.size()), kBearer) &&
               same_text_in_constant_time(value.substr(kBearer.size()), token);
    }
    const auto given = query.find("access_token");
    return given != query.end() && same_text_in_constant_time(given->second, token);
}

std::optional<std::size_t> scale_index(const ServeSettings& settings, std::string_view name) {
    for (std::size_t i = 0; i < settings.scales.size(); ++i) {
        if (settings.scales[i].name == name) return i;
    }
    return std::nullopt;
}

// The route a path names, and the scale it names ("" for none); Route::other when there is none.
std::pair<Route, std::string_view> route_of(std::string_view path, const std::vector<std::string_view>& parts) {
    if (path == "/") return {Route::page, {}};
    if (path == "/health") return {Route::health, {}};
    if (path == "/metrics") return {Route::metrics, {}};
    if (parts.size() == 2 && parts[0] == "problems" && find_problem(parts[1]) != nullptr) return {Route::problem, {}};
    if (parts.empty() || parts[0] != "v1") return {Route::other, {}};
    if (parts.size() == 2 && parts[1] == "scales") return {Route::scales, {}};
    if (parts.size() == 2 && parts[1] == "events") return {Route::events, {}};
    if (parts.size() == 2 && parts[1] == "openapi.json") return {Route::openapi, {}};
    if (parts.size() < 3 || parts.size() > 4 || parts[1] != "scales" || parts[2].empty()) return {Route::other, {}};
    if (parts.size() == 3) return {Route::scale, parts[2]};
    if (parts[3] == "reading") return {Route::reading, parts[2]};
    if (parts[3] == "events") return {Route::events, parts[2]};
    return {Route::other, {}};
}

bool protected_route(Route route) { return route != Route::page && route != Route::health && route != Route::problem; }

}  // namespace

std::string_view route_name(Route route) {
    switch (route) {
        case Route::refused: return "refused";
        case Route::page: return "page";
        case Route::health: return "health";
        case Route::metrics: return "metrics";
        case Route::problem: return "problem";
        case Route::scales: return "scales";
        case Route::scale: return "scale";
        case Route::reading: return "reading";
        case Route::events: return "events";
        case Route::openapi: return "openapi";
        case Route::other: break;
    }
    return "other";
}

std::string dumped(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Reply problem_reply(std::string_view code, const std::string& detail, Json extra) {
    Json json = problem_json(code, detail);
    if (extra.is_object()) json.update(extra);
    return Reply{find_problem(code)->status, "application/problem+json", dumped(json), {}};
}

bool wait_over(const Wait& wait, const Snapshot& snapshot) { return wait.stable ? settled(snapshot) : snapshot.change > 0; }

Reply waited(const Wait& wait, const Snapshot& snapshot, bool timed_out, const RouteContext& context) {
    const std::string& name = context.settings().scales.at(wait.scale).name;
    const int tipo = snapshot.reading.tipo;
    if (!timed_out && (tipo == WSR_SEM_LEITURA || tipo == WSR_FALHA)) {
        // No weight: an error status, so a client that checks only the status never takes it for one.
        return problem_reply("scale-unavailable", "scale " + name + " gave no reading: " + common::describe(snapshot.reading),
                             Json{{"scale", context.scale_json(wait.scale)}});
    }
    if (!timed_out) {
        Json json = context.scale_json(wait.scale);
        if (wait.stable) json["stable"] = tipo == WSR_PESO;
        return json_reply(json);
    }
    if (snapshot.change == 0) return problem_reply("no-reading-yet", "scale " + name + " gave no reading in time");
    return problem_reply("not-stable", "scale " + name + " did not settle in time", Json{{"scale", context.scale_json(wait.scale)}});
}

Routed route(const Request& request, const RouteContext& context) {
    const ServeSettings& settings = context.settings();
    Routed routed;
    auto answer = [&routed](Reply reply) {
        routed.action = std::move(reply);
        return std::move(routed);
    };
    if (!host_allowed(request, settings, context.loopback_only())) {
        Reply reply = problem_reply("host-not-allowed", "Host " + request.host.value_or("") + " is not a name of this service");
        reply.close = true;
        return answer(std::move(reply));
    }
    const auto origin = cors_origin(request, settings);
    if (!origin) {
        // The page may read why it was refused, and nothing else: its preflight passes, so that a request
        // with the token gets this answer too rather than a network error, and every request is refused.
        const std::string& refused = *request.origin;
        routed.origin_refused = true;
        if (!common::valid_origin(refused)) {
            return answer(problem_reply("origin-not-allowed", "Origin " + refused + " is not allowed"));
        }
        routed.origin = refused;
        if (request.method == "OPTIONS") {
            return answer(Reply{204, "", "", {{"Access-Control-Allow-Methods", "GET"},
                                               {"Access-Control-Allow-Headers", "Authorization, Last-Event-ID"}}});
        }
        return answer(problem_reply("origin-not-allowed", "Origin " + refused + " is not allowed: start the service with "
                                                          "--allow-origin " + refused + " (see the web point of sale guide)"));
    }
    routed.origin = *origin;

    const Target target = split_target(request.target);
    const std::string_view path = target.path;
    const std::vector<std::string_view> parts = path_segments(path);
    const auto [route, scale_name] = route_of(path, parts);
    routed.route = route;
    if (route == Route::other) return answer(problem_reply("not-found", "no resource at " + std::string(path)));

    const std::string allow = route == Route::events ? "GET, OPTIONS" : "GET, HEAD, OPTIONS";
    if (request.method == "OPTIONS") {
        Reply reply{204, "", "", {{"Allow", allow}}};
        if (!routed.origin.empty()) {
            reply.headers.emplace_back("Access-Control-Allow-Methods", allow);
            reply.headers.emplace_back("Access-Control-Allow-Headers", "Authorization, Last-Event-ID");
            reply.headers.emplace_back("Access-Control-Max-Age", "600");
        }
        return answer(std::move(reply));
    }
    routed.head = request.method == "HEAD" && route != Route::events;
    if (request.method != "GET" && !routed.head) {
        Reply reply = problem_reply("method-not-allowed",
                                    request.method + " is not allowed on " + std::string(path) + "; allowed: " + allow);
        reply.headers.emplace_back("Allow", allow);
        return answer(std::move(reply));
    }

    const auto query = parse_query(target.query);
    if (!query) return answer(problem_reply("bad-parameter", "a query parameter is repeated or badly escaped"));
    if (protected_route(route) && !authorized(request, *query, settings.token)) {
        Reply reply = problem_reply("unauthorized", "this path needs the service's bearer token");
        reply.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"wsr37100\"");
        return answer(std::move(reply));
    }
    for (const auto& [key, value] : *query) {
        const bool known = key == "access_token" || (route == Route::reading && (key == "stable_ms" || key == "timeout_ms"));
        if (!known) return answer(problem_reply("bad-parameter", "unknown query parameter '" + common::to_utf8(key) + "'"));
    }

    switch (route) {
        case Route::page: return answer(Reply{200, "text/html; charset=utf-8", std::string(status_page()), {}});
        case Route::problem: {
            const Problem* problem = find_problem(parts[1]);
            return answer(json_reply(Json{{"type", "/problems/" + std::string(parts[1])}, {"title", problem->title},
                                          {"status", problem->status}, {"description", problem->explanation}}));
        }
        case Route::health: {
            std::size_t up = 0;
            std::size_t logs_failing = 0;
            for (std::size_t i = 0; i < settings.scales.size(); ++i) {
                const Snapshot& latest = context.latest(i);
                if (latest.change > 0 && (latest.reading.tipo == WSR_PESO || latest.reading.tipo == WSR_STATUS)) ++up;
                logs_failing += context.log_failing(i) ? 1 : 0;
            }
            const bool ok = up == settings.scales.size() && logs_failing == 0;
            return answer(json_reply(Json{{"status", ok ? "ok" : "degraded"}, {"scales", settings.scales.size()},
                                          {"scales_up", up}, {"logs_failing", logs_failing},
                                          {"version", WSR37100_VERSION_STRING}}));
        }
        case Route::metrics: return answer(Reply{200, "text/plain; version=0.0.4; charset=utf-8", context.metrics_text(), {}});
        case Route::openapi: return answer(Reply{200, "application/json", std::string(openapi_document()), {}});
        case Route::scales: {
            Json list = Json::array();
            for (std::size_t i = 0; i < settings.scales.size(); ++i) list.push_back(context.scale_json(i));
            return answer(json_reply(Json{{"scales", std::move(list)}, {"refused_origins", context.refused_origins()}}));
        }
        default: break;
    }

    if (route == Route::events && scale_name.empty()) {
        routed.action = Stream{std::nullopt};
        return routed;
    }
    const auto scale = scale_index(settings, scale_name);
    if (!scale) return answer(problem_reply("unknown-scale", "no scale named '" + common::to_utf8(std::string(scale_name)) + "'"));
    if (route == Route::scale) return answer(json_reply(context.scale_json(*scale)));
    if (route == Route::events) {
        routed.action = Stream{*scale};
        return routed;
    }

    // A reading: the latest at once, or wait for the first, or for a settled one.
    std::optional<unsigned> stable_ms{0};
    std::optional<unsigned> timeout_ms{kFirstReadingMs};
    if (auto found = query->find("stable_ms"); found != query->end()) stable_ms = milliseconds(found->second);
    if (auto found = query->find("timeout_ms"); found != query->end()) timeout_ms = milliseconds(found->second);
    if (!stable_ms || !timeout_ms) {
        return answer(problem_reply("bad-parameter", "stable_ms and timeout_ms are whole milliseconds from 0 to 60000"));
    }
    const bool stable = *stable_ms > 0;
    routed.action = Wait{*scale, stable, stable ? *stable_ms : *timeout_ms};
    return routed;
}

}  // namespace Wsr37100::service
