// The service's answers to requests, without a socket: host and origin checks, token, routes, methods,
// parameters, what a reading waits for or a stream follows, and how a wait is answered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "metrics.hpp"
#include "routes.hpp"
#include "scale.hpp"
#include "scale_emulator.hpp"

namespace Wsr37100::service {
namespace {

// Two scales, a token, one allowed origin; "counter" has a weight, "back" nothing yet.
class TwoScales final : public RouteContext {
public:
    TwoScales() {
        settings_.scales = {ScaleSettings{"counter", "ttyUSB0"}, ScaleSettings{"back", "ttyUSB1"}};
        settings_.token = "s3cret";
        settings_.allowed_origins = {"https://pos.example"};
        settings_.allowed_hosts = {"scale.lan"};
        snapshots_[0].change = 4;
        snapshots_[0].reading.tipo = WSR_PESO;
    }
    const ServeSettings& settings() const override { return settings_; }
    bool loopback_only() const override { return true; }
    const Snapshot& latest(std::size_t scale) const override { return snapshots_.at(scale); }
    Json scale_json(std::size_t scale) const override { return Json{{"name", settings_.scales.at(scale).name}}; }
    std::string metrics_text() const override { return "wsr37100_up 1\n"; }
    Json refused_origins() const override { return Json::array({Json{{"origin", "https://evil.example"}}}); }

private:
    ServeSettings settings_;
    std::vector<Snapshot> snapshots_ = std::vector<Snapshot>(2);
};

// What a request came to, in one line: "200", "404 not-found", "wait 1 stable 500", "stream all".
std::string outcome(const Routed& routed) {
    if (const auto* wait = std::get_if<Wait>(&routed.action)) {
        return "wait " + std::to_string(wait->scale) + (wait->stable ? " stable " : " first ") + std::to_string(wait->wait_ms);
    }
    if (const auto* stream = std::get_if<Stream>(&routed.action)) {
        return "stream " + (stream->scale ? std::to_string(*stream->scale) : std::string("all"));
    }
    const Reply& reply = std::get<Reply>(routed.action);
    std::string text = std::to_string(reply.status);
    if (reply.content_type == "application/problem+json") text += " " + Json::parse(reply.body).at("code").get<std::string>();
    if (reply.close) text += " close";
    return text;
}

std::string headers_of(const Routed& routed) {
    std::string text;
    if (const auto* reply = std::get_if<Reply>(&routed.action)) {
        for (const auto& [name, value] : reply->headers) text += name + ": " + value + "\n";
    }
    return text;
}

TEST(Route, Requests) {
    const std::string bearer = "Bearer s3cret";
    const struct {
        const char* method;
        const char* target;
        std::optional<std::string> host;
        std::optional<std::string> origin;
        std::optional<std::string> authorization;
        const char* outcome;
        Route route;
        const char* header;  // a line the answer's own headers hold
        const char* body;    // a part of the body
    } cases[] = {
        // Host: loopback names and the allowed ones, with or without a port.
        {"GET", "/health", "evil.example", {}, {}, "403 host-not-allowed close", Route::other, "", "evil.example"},
        {"GET", "/health", "[::1]evil.example", {}, {}, "403 host-not-allowed close", Route::other, "", ""},
        {"GET", "/health", "evil-localhost", {}, {}, "403 host-not-allowed close", Route::other, "", ""},
        {"GET", "/health", "127.0.0.1:80x", {}, {}, "403 host-not-allowed close", Route::other, "", ""},
        {"GET", "/health", "LOCALHOST:8370", {}, {}, "200", Route::health, "", ""},
        {"GET", "/health", "[::1]:8370", {}, {}, "200", Route::health, "", ""},
        {"GET", "/health", "scale.lan", {}, {}, "200", Route::health, "", ""},
        {"GET", "/health", {}, {}, {}, "200", Route::health, "", ""},
        // Origin: the allowed ones get CORS, the page's own needs none, any other is refused.
        {"GET", "/health", "127.0.0.1", "https://evil.example", {}, "403 origin-not-allowed", Route::other, "",
         "start the service with --allow-origin https://evil.example"},
        // A refused page passes its preflight, so that its request with the token reads the 403 too.
        {"OPTIONS", "/v1/scales", "127.0.0.1", "https://evil.example", {}, "204", Route::other,
         "Access-Control-Allow-Methods: GET\n", ""},
        {"GET", "/v1/scales", "127.0.0.1", "https://pos.example", bearer, "200", Route::scales, "",
         R"("refused_origins":[{"origin":"https://evil.example"}])"},
        {"GET", "/health", "127.0.0.1:8370", "http://127.0.0.1:8370", {}, "200", Route::health, "", ""},
        {"GET", "/health", "127.0.0.1", "http://127.0.0.1:8370", {}, "403 origin-not-allowed", Route::other, "", ""},
        {"OPTIONS", "/v1/scales", "127.0.0.1", "https://pos.example", {}, "204", Route::scales,
         "Access-Control-Allow-Headers: Authorization, Last-Event-ID\n", ""},
        {"OPTIONS", "/v1/scales", "127.0.0.1", {}, {}, "204", Route::scales, "Allow: GET, HEAD, OPTIONS\n", ""},
        {"OPTIONS", "/v1/events", "127.0.0.1", "https://pos.example", {}, "204", Route::events,
         "Access-Control-Allow-Methods: GET, OPTIONS\n", ""},
        // The token: in the header (any case of "Bearer") or the query; none asked on the open routes.
        {"GET", "/v1/scales", {}, {}, {}, "401 unauthorized", Route::scales, "WWW-Authenticate: Bearer realm=\"wsr37100\"\n", ""},
        {"GET", "/v1/scales", {}, {}, "Bearer s3creT", "401 unauthorized", Route::scales, "", ""},
        {"GET", "/v1/scales", {}, {}, "Bearer s3cret2", "401 unauthorized", Route::scales, "", ""},
        {"GET", "/v1/scales", {}, {}, "Basic s3cret", "401 unauthorized", Route::scales, "", ""},
        {"GET", "/v1/scales", {}, {}, "Bearer ", "401 unauthorized", Route::scales, "", ""},
        {"GET", "/v1/scales?access_token=s3cre", {}, {}, {}, "401 unauthorized", Route::scales, "", ""},
        {"GET", "/v1/scales", {}, {}, bearer, "200", Route::scales, "", R"({"scales":[{"name":"counter"},{"name":"back"}],)"},
        {"GET", "/v1/scales", {}, {}, "bEARER s3cret", "200", Route::scales, "", ""},
        {"GET", "/v1/scales?access_token=s3cret", {}, {}, {}, "200", Route::scales, "", ""},
        {"GET", "/metrics", {}, {}, {}, "401 unauthorized", Route::metrics, "", ""},
        {"GET", "/metrics", {}, {}, bearer, "200", Route::metrics, "", "wsr37100_up 1\n"},
        {"GET", "/", {}, {}, {}, "200", Route::page, "", "<title>wsr37100</title>"},
        {"GET", "/health", {}, {}, {}, "200", Route::health, "", R"({"status":"degraded","scales":2,"scales_up":1,"logs_failing":0,)"},
        {"GET", "/problems/not-stable", {}, {}, {}, "200", Route::problem, "", R"({"type":"/problems/not-stable",)"},
        {"GET", "/v1/openapi.json", {}, {}, bearer, "200", Route::openapi, "", R"("openapi": "3.1.0")"},
        // Paths.
        {"GET", "/problems/no-such-code", {}, {}, {}, "404 not-found", Route::other, "", ""},
        {"GET", "/v2/scales", {}, {}, bearer, "404 not-found", Route::other, "", ""},
        {"GET", "/v1/scales/counter/weight", {}, {}, bearer, "404 not-found", Route::other, "", ""},
        {"GET", "/v1/scales//reading", {}, {}, bearer, "404 not-found", Route::other, "", ""},
        {"GET", "/v1/scales/back/reading/extra", {}, {}, bearer, "404 not-found", Route::other, "", ""},
        {"GET", "/health/", {}, {}, {}, "404 not-found", Route::other, "", ""},
        {"GET", "/v1/scales/front", {}, {}, bearer, "404 unknown-scale", Route::scale, "", "'front'"},
        {"GET", "/v1/scales/front/reading", {}, {}, bearer, "404 unknown-scale", Route::reading, "", ""},
        {"GET", "/v1/scales/front/events", {}, {}, bearer, "404 unknown-scale", Route::events, "", ""},
        {"GET", "/v1/scales/back", {}, {}, bearer, "200", Route::scale, "", R"({"name":"back"})"},
        // Methods: GET and HEAD everywhere but on the streams, which take GET alone.
        {"HEAD", "/v1/scales/back", {}, {}, bearer, "200", Route::scale, "", ""},
        {"POST", "/v1/scales", {}, {}, bearer, "405 method-not-allowed", Route::scales, "Allow: GET, HEAD, OPTIONS\n", ""},
        {"get", "/health", {}, {}, {}, "405 method-not-allowed", Route::health, "", "get is not allowed on /health"},
        {"DELETE", "/", {}, {}, {}, "405 method-not-allowed", Route::page, "", ""},
        {"HEAD", "/v1/events", {}, {}, bearer, "405 method-not-allowed", Route::events, "Allow: GET, OPTIONS\n", ""},
        {"PUT", "/v1/scales/back/events", {}, {}, bearer, "405 method-not-allowed", Route::events, "", ""},
        {"POST", "/v1/scales/back/reading", {}, {}, bearer, "405 method-not-allowed", Route::reading, "", ""},
        // Parameters: only those of the route, once each, well escaped; waits of 0 to 60000 ms.
        {"GET", "/health?x=1", {}, {}, {}, "400 bad-parameter", Route::health, "", "'x'"},
        {"GET", "/v1/scales?stable_ms=0", {}, {}, bearer, "400 bad-parameter", Route::scales, "", ""},
        {"GET", "/v1/scales?access_token=s3cret&access_token=s3cret", {}, {}, {}, "400 bad-parameter", Route::scales, "", ""},
        {"GET", "/v1/scales?access_token=%zz", {}, {}, {}, "400 bad-parameter", Route::scales, "", ""},
        {"GET", "/v1/scales/back/reading?stable_ms=-1", {}, {}, bearer, "400 bad-parameter", Route::reading, "", ""},
        {"GET", "/v1/scales/back/reading?stable_ms=60001", {}, {}, bearer, "400 bad-parameter", Route::reading, "", ""},
        {"GET", "/v1/scales/back/reading?timeout_ms=1.5", {}, {}, bearer, "400 bad-parameter", Route::reading, "", ""},
        {"GET", "/v1/scales/back/reading?stable_ms=", {}, {}, bearer, "400 bad-parameter", Route::reading, "", ""},
        // What a reading waits for, and which scales a stream follows.
        {"GET", "/v1/scales/back/reading", {}, {}, bearer, "wait 1 first 3000", Route::reading, "", ""},
        {"GET", "/v1/scales/back/reading?timeout_ms=0", {}, {}, bearer, "wait 1 first 0", Route::reading, "", ""},
        {"GET", "/v1/scales/counter/reading?stable_ms=500&timeout_ms=9", {}, {}, bearer, "wait 0 stable 500", Route::reading, "", ""},
        {"GET", "/v1/scales/counter/reading?stable_ms=0&timeout_ms=60000", {}, {}, bearer, "wait 0 first 60000", Route::reading, "", ""},
        {"HEAD", "/v1/scales/counter/reading?access_token=s3cret", {}, {}, {}, "wait 0 first 3000", Route::reading, "", ""},
        {"GET", "/v1/events", {}, {}, bearer, "stream all", Route::events, "", ""},
        {"GET", "/v1/scales/back/events", {}, {}, bearer, "stream 1", Route::events, "", ""},
    };
    const TwoScales context;
    for (const auto& c : cases) {
        const Request request{c.method, c.target, c.host, c.origin, c.authorization};
        const Routed routed = route(request, context);
        const std::string what = std::string(c.method) + " " + c.target;
        EXPECT_EQ(outcome(routed), c.outcome) << what;
        EXPECT_EQ(route_name(routed.route), route_name(c.route)) << what;
        EXPECT_NE(headers_of(routed).find(c.header), std::string::npos) << what << "\n" << headers_of(routed);
        if (const auto* reply = std::get_if<Reply>(&routed.action)) {
            EXPECT_NE(reply->body.find(c.body), std::string::npos) << what << "\n" << reply->body;
        }
        EXPECT_EQ(routed.head, std::string(c.method) == "HEAD" && c.outcome[0] != '4') << what;
    }
}

// CORS headers go to the origins allowed by name; a same-origin request and one without Origin get none.
// A refused origin is named back, so its page can read why, only when it is shaped as an origin.
TEST(Route, CorsOrigin) {
    const struct {
        std::optional<std::string> origin;
        const char* allowed;
        bool refused;
    } cases[] = {
        {"https://pos.example", "https://pos.example", false},
        {"http://127.0.0.1", "", false},
        {{}, "", false},
        {"https://evil.example:8443", "https://evil.example:8443", true},
        {"https://evil.example/path", "", true},
        {"https://evil.example, https://pos.example", "", true},
        {"null", "", true},
        {"https://\xC3\xA9vil.example", "", true},
        {"http://evillocalhost", "http://evillocalhost", true},
        {"http://notlocalhost", "http://notlocalhost", true},
        {"http://localhost.evil.example", "http://localhost.evil.example", true},
    };
    const TwoScales context;
    for (const auto& c : cases) {
        const Routed routed = route(Request{"GET", "/health", "127.0.0.1", c.origin, {}}, context);
        EXPECT_EQ(routed.origin, c.allowed) << c.origin.value_or("(none)");
        EXPECT_EQ(routed.origin_refused, c.refused) << c.origin.value_or("(none)");
    }
}

// A wait for the first reading ends on any; a stable one on a weight, an N or S status, or no answer.
TEST(Route, WaitOver) {
    const struct {
        std::uint64_t change;
        int tipo;
        int peso;
        bool first;
        bool stable;
    } cases[] = {
        {0, WSR_PESO, 0, false, false},
        {1, WSR_PESO, 1500, true, true},
        {1, WSR_STATUS, -1, true, false},
        {1, WSR_STATUS, -2, true, true},
        {1, WSR_STATUS, -10, true, true},
        {1, WSR_SEM_LEITURA, 0, true, true},
        {1, WSR_FALHA, 0, true, true},
    };
    for (const auto& c : cases) {
        Snapshot snapshot;
        snapshot.change = c.change;
        snapshot.reading.tipo = c.tipo;
        snapshot.reading.peso = c.peso;
        EXPECT_EQ(wait_over(Wait{0, false, 0}, snapshot), c.first) << c.tipo << " " << c.peso;
        EXPECT_EQ(wait_over(Wait{0, true, 0}, snapshot), c.stable) << c.tipo << " " << c.peso;
    }
}

// The answer to a wait: the reading when one ended it, a 503 for a scale that gave none, a 504 when time ran out.
TEST(Route, Waited) {
    const struct {
        bool stable;
        std::uint64_t change;
        int tipo;
        int peso;
        bool timed_out;
        const char* outcome;
        const char* body;
    } cases[] = {
        {false, 1, WSR_PESO, 1, false, "200", R"({"name":"back"})"},
        {true, 1, WSR_PESO, 1, false, "200", R"({"name":"back","stable":true})"},
        {true, 1, WSR_STATUS, -10, false, "200", R"({"name":"back","stable":false})"},
        {false, 1, WSR_SEM_LEITURA, 0, false, "503 scale-unavailable", R"("scale":{"name":"back"})"},
        {true, 1, WSR_FALHA, 0, false, "503 scale-unavailable", "scale back gave no reading: "},
        {false, 0, WSR_PESO, 0, true, "504 no-reading-yet", "scale back gave no reading in time"},
        {true, 0, WSR_PESO, 0, true, "504 no-reading-yet", ""},
        {true, 3, WSR_STATUS, -1, true, "504 not-stable", R"("scale":{"name":"back"})"},
        {true, 3, WSR_SEM_LEITURA, 0, true, "504 not-stable", "scale back did not settle in time"},
    };
    const TwoScales context;
    for (const auto& c : cases) {
        Snapshot snapshot;
        snapshot.change = c.change;
        snapshot.reading.tipo = c.tipo;
        snapshot.reading.peso = c.peso;
        const Routed routed{Route::reading, "", false, false, waited(Wait{1, c.stable, 100}, snapshot, c.timed_out, context)};
        const std::string what = std::to_string(c.tipo) + (c.timed_out ? " timed out" : "");
        EXPECT_EQ(outcome(routed), c.outcome) << what;
        EXPECT_NE(std::get<Reply>(routed.action).body.find(c.body), std::string::npos) << what << "\n"
                                                                                     << std::get<Reply>(routed.action).body;
    }
}

// The monitor tells a change through its callback and, while it is stalled, when asked: a failure can
// come both ways, in either order. Each number is one change, taken once; a stall after it is told.
TEST(ScaleChanges, EachNumberIsTakenOnceWhicheverWayItComes) {
    struct Counter final : ChangeCounter {
        int changes = 0;
        void change(const std::string&, const WsrLeitura&) override { ++changes; }
    } counter;
    Scale scale(ScaleSettings{"counter", "ttyUSB0"}, "", [](std::function<void()> task) { task(); }, counter, Journal{});
    EXPECT_EQ(scale_state(scale.latest()), "starting");
    struct Step {
        const char* what;
        int32_t numero;
        int32_t tipo;
        const char* message;
        std::uint64_t change;  // the scale's change number after the step
        const char* state;
        const char* message_after;
        const char* metric;    // its wsr37100_scale_state
    };
    const Step steps[] = {
        {"a weight", 1, WSR_PESO, "", 1, "weight", "", "weight"},
        {"its log line failed, pulled before the callback", 2, WSR_FALHA, "log", 2, "failure", "log", "failure"},
        {"the same failure through the callback", 2, WSR_FALHA, "log", 2, "failure", "log", "failure"},
        {"a weight through the callback", 3, WSR_PESO, "", 3, "weight", "", "weight"},
        {"a later stall, pulled", 4, WSR_FALHA, "monitor parado h\xE1 1200 ms", 4, "failure", "monitor parado h\xE1 1200 ms",
         "stalled"},
        {"an older change arriving late", 3, WSR_PESO, "", 4, "failure", "monitor parado h\xE1 1200 ms", "stalled"},
        {"the recovery", 5, WSR_PESO, "", 5, "weight", "", "weight"},
        {"a failure naming the monitor, not a stall", 6, WSR_FALHA, "monitor parado", 6, "failure", "monitor parado", "failure"},
        {"a status", 7, WSR_STATUS, "", 7, "unreadable", "", "status"},
        {"no reading", 8, WSR_SEM_LEITURA, "", 8, "no-reading", "", "no-reading"},
        // Two changes came while the network thread was busy: only the newest is handed over, with its number.
        {"the newer of two changes handed over together", 10, WSR_PESO, "", 10, "weight", "", "weight"},
    };
    int taken = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        WsrLeitura reading{};
        reading.tamanho = sizeof reading;
        reading.numero = step.numero;
        reading.tipo = step.tipo;
        std::snprintf(reading.mensagem, sizeof reading.mensagem, "%s", step.message);
        const std::uint64_t before = scale.latest().change;
        scale.take(reading, std::chrono::system_clock::now());
        taken += scale.latest().change != before;
        EXPECT_EQ(scale.latest().change, step.change);
        EXPECT_EQ(state_of(scale.latest()), step.state);
        EXPECT_STREQ(scale.latest().reading.mensagem, step.message_after);
        EXPECT_EQ(scale_state(scale.latest()), step.metric);
        EXPECT_EQ(counter.changes, taken);
    }
}

// A monitor whose step does not end (here its change is held on the way to the network thread, as a
// thread busy elsewhere would hold it) calls no one: the scale learns of the stall only by asking,
// and then tells it, never the weight from before.
TEST(ScaleChanges, AStalledMonitorIsToldWhenAsked) {
    ScaleEmulator emulated({ScaleReply::bytes(fixed_frame_for(1.0)), ScaleReply::bytes(fixed_frame_for(2.0))}, true);
    struct Counter final : ChangeCounter {
        void change(const std::string&, const WsrLeitura&) override {}
    } counter;
    std::promise<void> release;
    const std::shared_future<void> held = release.get_future().share();
    std::atomic<int> posts{0};
    Scale scale(ScaleSettings{"counter", emulated.device_path(), "9600", 20, 0, "", true}, "",
                [&posts, held](std::function<void()> task) {
                    if (posts.fetch_add(1) == 1) held.wait();  // the second change is held
                    task();
                },
                counter, Journal{});
    // Let go on every way out, before the scale stops its monitor: a held change would hold the stop up.
    struct Release {
        std::promise<void>& promise;
        ~Release() { promise.set_value(); }
    };
    std::optional<Release> release_on_exit;
    release_on_exit.emplace(release);
    scale.start();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (posts.load() < 2 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(posts.load(), 2);
    EXPECT_EQ(state_of(scale.latest()), "weight");
    while (state_of(scale.latest()) == "weight" && std::chrono::steady_clock::now() < give_up) {
        scale.check_stall();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(state_of(scale.latest()), "failure");
    EXPECT_EQ(scale_state(scale.latest()), "stalled");
    const std::string message = scale.latest().reading.mensagem;
    EXPECT_EQ(message.rfind("monitor parado h\xE1 ", 0), 0u) << message;
}

}  // namespace
}  // namespace Wsr37100::service
