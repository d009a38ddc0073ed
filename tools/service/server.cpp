// The HTTP side of the weighing service (Boost.Beast): listening, the limits on connections, the scales'
// stall checks and the stop; session.cpp answers a connection, routes.cpp says what is answered.
#include "server.hpp"

#include <algorithm>
#include <future>
#include <iterator>

#include "address.hpp"
#include "common/clock.hpp"
#include "common/reading.hpp"
#include "host.hpp"
#include "journal.hpp"
#include "session.hpp"

namespace Wsr37100::service {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLingeringRefusals = 32;  // connections refused at the limit that linger so; the others close at once
// What the service keeps of the descriptor limit for others than its connections: what each scale's
// monitor opens (its wake-up pipe, port, lock files and daily log, a name lookup) and a few spare.
constexpr std::size_t kDescriptorsPerScale = 8;
constexpr std::size_t kSpareDescriptors = 16;
constexpr std::size_t kProgramDescriptors = 64;  // what a service wants for itself, the listener and the event loop's
constexpr auto kDescriptorsPause = 20ms;  // how often a service out of descriptors for connections looks again
constexpr auto kStopGrace = 300ms;       // answers under way may finish before connections are cut
constexpr auto kJoinLimit = 700ms;
constexpr auto kQuietCheck = 5ms;         // how often a stopping service looks whether its answers are out
constexpr std::size_t kBurst = 16;  // connections gone since the last give-back that make the next one
constexpr auto kStallCheck = 250ms;        // how often the scales' monitors are asked whether they stalled
constexpr std::size_t kRefusedOrigins = 8;  // origins refused that the scales' list tells
constexpr auto kRefusalWindow = 60s;  // journal lines of refused origins: at most kRefusedOrigins in this time

}  // namespace

bool loopback(const std::string& address) {
    beast::error_code error;
    const auto parsed = net::ip::make_address(address, error);
    return address == "localhost" || (!error && parsed.is_loopback());
}

// The connections (accepted or being refused) the service may hold: the descriptors left under the soft limit
// less what the scales and the rest of the program need. nullopt: no such limit.
std::optional<std::size_t> socket_budget(std::size_t scales) {
    const auto left = descriptors_left();
    if (!left) return std::nullopt;
    const std::size_t reserved = kDescriptorsPerScale * scales + kSpareDescriptors;
    return *left > reserved ? *left - reserved : 1;
}

std::vector<std::string> logged_folders(const ServeSettings& settings, const std::vector<std::string>& log_folders) {
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < settings.scales.size() && i < log_folders.size(); ++i) {
        if (!settings.scales[i].no_log) folders.push_back(log_folders[i]);
    }
    return folders;
}

Json scale_json(const Scale& scale) {
    const Snapshot& latest = scale.latest();
    Json json;
    json["name"] = scale.settings().name;
    json["port"] = common::to_utf8(scale.settings().port);
    json["baud"] = scale.settings().baud;
    json["state"] = state_of(latest);
    json["change"] = latest.change;
    json["reading"] = latest.change == 0 ? Json() : Json(common::to_json(latest.reading, common::timestamp(latest.at)));
    json["log_failure"] = scale.log_failure().empty() ? Json() : Json(common::to_utf8(scale.log_failure()));
    return json;
}

void ServiceState::origin_refused(const std::string& origin) {
    const std::string name = origin.empty() ? "(not an origin)" : origin;
    auto known = std::find_if(refused_origins.begin(), refused_origins.end(),
                              [&name](const RefusedOrigin& each) { return each.origin == name; });
    if (known == refused_origins.end()) {
        // Full, the least-seen one makes room (of those, the longest unseen): a few made-up origins, sent
        // once each, never push out the web point of sale that keeps asking.
        if (refused_origins.size() >= kRefusedOrigins) {
            refused_origins.erase(std::min_element(refused_origins.begin(), refused_origins.end(),
                                                   [](const RefusedOrigin& a, const RefusedOrigin& b) {
                                                       return a.requests < b.requests;
                                                   }));
        }
        refused_origins.push_back({name, 0, {}});
        known = std::prev(refused_origins.end());
        const auto now = SteadyClock::now();
        if (now - refusals_since >= kRefusalWindow) {
            refusals_since = now;
            refusals_said = 0;
        }
        if (!origin.empty() && refusals_said < kRefusedOrigins) {
            ++refusals_said;
            journal.say(Level::warning, "refused a request from the web page at " + origin +
                                            ": to let it read the scales, start the service with --allow-origin " + origin);
        }
    }
    ++known->requests;
    known->last = std::chrono::system_clock::now();
    std::rotate(known, std::next(known), refused_origins.end());
}

Json ServiceState::Context::refused_origins() const {
    // The most-seen first; of as many requests, the latest seen first.
    std::vector<RefusedOrigin> listed(impl_.refused_origins.rbegin(), impl_.refused_origins.rend());
    std::stable_sort(listed.begin(), listed.end(),
                     [](const RefusedOrigin& a, const RefusedOrigin& b) { return a.requests > b.requests; });
    Json list = Json::array();
    for (const auto& each : listed) {
        list.push_back(Json{{"origin", each.origin}, {"requests", each.requests}, {"last", common::timestamp(each.last)}});
    }
    return list;
}

struct Server::Impl : ServiceState {
    using ServiceState::ServiceState;

    void accept();
    void watch_stalls();
    void tell_dropped_lines();
    void shut_down();
    bool make_room();
    void end_when_quiet(const std::shared_ptr<net::steady_timer>& timer, SteadyClock::time_point deadline);
};

void Server::Impl::accept() {
    // Every descriptor the connections may have is taken: new ones wait in the listen queue, so that
    // the scales can still open their ports and logs.
    if (sockets && open_connections() + lingering_refusals() >= *sockets) {
        auto pause = std::make_shared<net::steady_timer>(io, kDescriptorsPause);
        pause->async_wait([this, pause](beast::error_code) {
            if (!stopping) accept();
        });
        return;
    }
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (stopping) return;
        if (!error) {
            auto session = std::make_shared<Session>(*this, std::move(socket));
            if (open_connections() >= settings.limits.connections && !make_room()) {
                metrics.connection_refused();
                if (lingering_refusals() < kLingeringRefusals) {
                    refusing.push_back(session);
                    session->refuse();
                } else {
                    session->refuse_at_once();
                }
            } else {
                sessions.push_back(session);
                session->start();
            }
            connections_at_most = std::max(connections_at_most, sessions.size() + refusing.size());
        } else if (error != net::error::operation_aborted) {
            // Out of descriptors, say: a pause rather than a busy loop, and a line a minute at most.
            ++accept_failures;
            if (SteadyClock::now() - accept_failure_said >= kAcceptFailureEvery) {
                journal.say(Level::warning, "accepting a connection failed: " + error.message() +
                                        (accept_failures > 1 ? " (" + std::to_string(accept_failures) + " times since the last such line)" : ""));
                accept_failure_said = SteadyClock::now();
                accept_failures = 0;
            }
            auto pause = std::make_shared<net::steady_timer>(io, 100ms);
            pause->async_wait([this, pause](beast::error_code) { accept(); });
            return;
        }
        accept();
    });
}

// At the limit, the connection that has waited longest on its client gives way, so clients that
// trickle bytes, or take no answer, cannot keep out one that sends its request at once.
bool Server::Impl::make_room() {
    std::shared_ptr<Session> oldest;
    auto kind = Session::Yield::never;
    for (auto& weak : sessions) {
        auto session = weak.lock();
        const auto yields = session ? session->yields() : Session::Yield::never;
        if (yields != Session::Yield::never &&
            (yields > kind || (yields == kind && session->waiting_since() < oldest->waiting_since())) &&
            (yields == Session::Yield::first || !session->request_arrived())) {
            oldest = std::move(session);
            kind = yields;
        }
    }
    if (!oldest) return false;
    oldest->give_way();
    metrics.connection_evicted();
    open_connections();
    return true;
}

// A log folder whose day reached its bound is told once a day, when its count leaves 0.
void Server::Impl::tell_dropped_lines() {
    const auto folders = log_watch.folders();
    dropped_told.resize(folders.size(), 0);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (!folders[i].dropped) continue;
        if (*folders[i].dropped > 0 && dropped_told[i] == 0) {
            journal.say(Level::warning, "the day's log in " + log_folder_label(folders[i].folder) +
                                            " reached its bound: its further lines today are counted, not written");
        }
        dropped_told[i] = *folders[i].dropped;
    }
}

void Server::Impl::watch_stalls() {
    stall_watch.expires_after(kStallCheck);
    stall_watch.async_wait([this](beast::error_code error) {
        if (error || stopping) return;
        for (auto& scale : scales) {
            scale->check_stall();
            scale->check_log();
        }
        tell_dropped_lines();
        // Once most of a burst of connections is gone, what it took goes back to the system.
        const std::size_t open = open_connections() + lingering_refusals();
        if (connections_at_most >= open + kBurst) {
            give_back_memory();
            connections_at_most = open;
        }
        watch_stalls();
    });
}

void Server::Impl::shut_down() {
    stopping = true;
    stall_watch.cancel();
    beast::error_code ignored;
    acceptor.close(ignored);
    for (auto& scale : scales) scale->stop();
    for (auto& weak : sessions) {
        if (auto session = weak.lock()) session->stop();
    }
    // Answers under way get a moment; the thread ends as soon as they are written, or whatever is left is cut.
    end_when_quiet(std::make_shared<net::steady_timer>(io), SteadyClock::now() + kStopGrace);
    work.reset();
}

void Server::Impl::end_when_quiet(const std::shared_ptr<net::steady_timer>& timer, SteadyClock::time_point deadline) {
    if (open_connections() == 0 || SteadyClock::now() >= deadline) return io.stop();
    timer->expires_after(kQuietCheck);
    timer->async_wait([this, timer, deadline](beast::error_code) { end_when_quiet(timer, deadline); });
}

std::size_t descriptors_wanted(const ServeSettings& settings) {
    return settings.limits.connections + kLingeringRefusals + kDescriptorsPerScale * settings.scales.size() + kProgramDescriptors;
}

Server::Server(ServeSettings settings, std::vector<std::string> log_folders, Journal journal)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(log_folders), journal)) {}

Server::~Server() { stop(); }

std::string Server::start() {
    Impl& impl = *impl_;
    beast::error_code error;
    const std::string listen = impl.settings.listen == "localhost" ? "127.0.0.1" : impl.settings.listen;
    const auto address = net::ip::make_address(listen, error);
    if (error) throw std::runtime_error("not an IP address to listen on: " + impl.settings.listen);
    const tcp::endpoint endpoint(address, impl.settings.port);
    impl.acceptor.open(endpoint.protocol(), error);
    if (!error && !claim_address(static_cast<std::uintptr_t>(impl.acceptor.native_handle()))) {
        throw std::runtime_error("cannot claim the address " + endpoint.address().to_string() + " port " +
                                 std::to_string(endpoint.port()) + " for this service alone");
    }
    if (!error) impl.acceptor.bind(endpoint, error);
    if (!error) impl.acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error) {
        throw std::runtime_error("cannot listen on " + endpoint.address().to_string() + " port " +
                                 std::to_string(endpoint.port()) + ": " + error.message());
    }
    const auto bound = impl.acceptor.local_endpoint();
    for (auto& scale : impl.scales) scale->start();
    impl.accept();
    impl.watch_stalls();
    impl.thread = std::thread([&impl] {
        try {
            impl.io.run();
        } catch (const std::exception& failure) {
            impl.journal.say(Level::error, std::string("the network thread failed: ") + failure.what());
            impl.failed = true;
        } catch (...) {
            impl.journal.say(Level::error, "the network thread failed");
            impl.failed = true;
        }
    });
    const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]" : bound.address().to_string();
    return "http://" + host + ":" + std::to_string(bound.port()) + "/";
}

bool Server::failed() const { return impl_->failed; }

void Server::stop() {
    Impl& impl = *impl_;
    if (!impl.thread.joinable()) return;
    std::promise<void> done;
    auto finished = done.get_future();
    net::post(impl.io, [&impl] { impl.shut_down(); });
    std::thread joiner([&impl, &done] {
        impl.thread.join();
        done.set_value();
    });
    if (finished.wait_for(kJoinLimit) != std::future_status::ready) impl.io.stop();
    joiner.join();
}

}  // namespace Wsr37100::service
