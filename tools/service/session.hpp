// Inside the weighing service's HTTP side: what the service holds, and each connection's Session.
// server.cpp accepts and stops; session.cpp reads and answers a connection's requests;
// session_follow.cpp carries out the requests that wait for a reading, and the event streams.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "metrics.hpp"
#include "routes.hpp"
#include "scale.hpp"
#include "config.hpp"
#include "journal.hpp"
#include "log_watch.hpp"

namespace Wsr37100::service {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

inline constexpr std::chrono::seconds kWriteTimeout{10};  // a client that takes no more bytes for this long is dropped
inline constexpr std::size_t kPipelinedBytes = 1024;  // read while a request waits: its hang-up, or the next request
inline constexpr std::chrono::seconds kAcceptFailureEvery{60};  // how often a failing accept is told to the journal

bool loopback(const std::string& address);
// The connections (accepted or being refused) the service may hold under the descriptor limit; nullopt: no limit.
std::optional<std::size_t> socket_budget(std::size_t scales);
// A scale as the API shows it: its name, port, state and latest reading.
Json scale_json(const Scale& scale);
// The folders the scales that log write into, as `log_folders` gives them, one per scale.
std::vector<std::string> logged_folders(const ServeSettings& settings, const std::vector<std::string>& log_folders);
inline constexpr std::chrono::seconds kLogWatchEvery{5};  // how often each log folder's dropped lines are read

class Session;

// What the service holds and its connections share: its settings, scales, counts and network thread.
struct ServiceState {
    ServiceState(ServeSettings settings_in, std::vector<std::string> log_folders, Journal journal_in)
        : settings(std::move(settings_in)),
          journal(journal_in),
          loopback_only(loopback(settings.listen)),
          log_watch(logged_folders(settings, log_folders), kLogWatchEvery) {
        run_id = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch()).count());
        for (std::size_t i = 0; i < settings.scales.size(); ++i) {
            auto post = [this](std::function<void()> job) { net::post(io, std::move(job)); };
            scales.push_back(std::make_unique<Scale>(settings.scales[i], log_folders[i], post, metrics, journal));
        }
    }

    std::vector<const Scale*> scale_views() const {
        std::vector<const Scale*> views;
        for (const auto& scale : scales) views.push_back(scale.get());
        return views;
    }
    std::size_t open_connections() {
        std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
        return sessions.size();
    }
    std::size_t lingering_refusals() {
        std::erase_if(refusing, [](const auto& weak) { return weak.expired(); });
        return refusing.size();
    }
    std::string event_id(std::uint64_t change) const { return run_id + "-" + std::to_string(change); }
    // A request from an origin not allowed ("" for one not shaped as an origin): counted, and told to the
    // journal when the origin is new, so the shop learns which option its web point of sale needs.
    void origin_refused(const std::string& origin);

    struct RefusedOrigin {
        std::string origin;
        std::uint64_t requests = 0;
        std::chrono::system_clock::time_point last;
    };

    // What the routes read of the service.
    class Context final : public RouteContext {
    public:
        explicit Context(ServiceState& state) : impl_(state) {}
        const ServeSettings& settings() const override { return impl_.settings; }
        bool loopback_only() const override { return impl_.loopback_only; }
        const Snapshot& latest(std::size_t scale) const override { return impl_.scales[scale]->latest(); }
        Json scale_json(std::size_t scale) const override { return service::scale_json(*impl_.scales[scale]); }
        bool log_failing(std::size_t scale) const override { return !impl_.scales[scale]->log_failure().empty(); }
        std::string metrics_text() const override {
            return impl_.metrics.text(impl_.scale_views(), impl_.open_connections(), impl_.settings.limits,
                                      impl_.log_watch.folders());
        }
        Json refused_origins() const override;

    private:
        ServiceState& impl_;
    };

    ServeSettings settings;
    Journal journal;
    const bool loopback_only;
    LogWatch log_watch;                        // the day's dropped lines of each folder the scales log into
    std::vector<std::uint64_t> dropped_told;  // each folder's count when the journal was last told
    std::string run_id;  // event ids of an earlier run never match this one's
    net::io_context io{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work{net::make_work_guard(io)};
    tcp::acceptor acceptor{io};
    net::steady_timer stall_watch{io};
    Metrics metrics;
    std::vector<std::unique_ptr<Scale>> scales;
    std::vector<std::weak_ptr<Session>> sessions;
    Context context{*this};
    bool stopping = false;
    std::uint64_t accept_failures = 0;
    SteadyClock::time_point accept_failure_said = SteadyClock::now() - kAcceptFailureEvery;
    std::vector<std::weak_ptr<Session>> refusing;  // refused at the limit, their answer still going out
    std::size_t connections_at_most = 0;             // since the heap's free memory was last given back
    std::size_t streams = 0;                         // event streams open
    std::vector<RefusedOrigin> refused_origins;      // the most-seen few, the most recently seen last
    SteadyClock::time_point refusals_since = SteadyClock::now();  // journal lines of refused origins told since
    std::size_t refusals_said = 0;
    const std::size_t stream_limit = service::stream_limit(settings.limits);
    const std::optional<std::size_t> sockets = socket_budget(settings.scales.size());
    std::atomic<bool> failed{false};
    std::thread thread;
};

// Forwards one scale's changes to a session while the session lives.
class Listener final : public ScaleObserver {
public:
    Listener(std::weak_ptr<Session> session, Scale& scale) : session_(std::move(session)), scale_(scale) {}
    void on_change(const Snapshot& snapshot) override;
    void on_stop() override;

private:
    std::weak_ptr<Session> session_;
    Scale& scale_;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ServiceState& server, tcp::socket socket);

    void start() { read_request(); }

    // Whether this connection gives way to a new one when the service is at its limit. First, one whose
    // client takes no answer: it sent its next request before it took this one's answer, or leaves the
    // answer stalled on a full send buffer. Then one still reading a request, idle between two,
    // dropping what its client still sends after an error answer, or a request waiting for a reading
    // (so that waits, however many, never keep a plain reading out). Never an answer going out to a
    // client that takes it, or an event stream (their own limit leaves room). Of one kind, the one
    // that has waited longest on its client gives way first.
    enum class Yield { never, later, first };
    Yield yields();
    // Whether a connection that is reading has its client's request already here (its header read whole
    // but not yet handled, or bytes not yet read): then it waits on this service, not on its client (a
    // flood of connections can keep the service from getting to it at once), and does not give way as
    // one waiting on its client.
    bool request_arrived();
    SteadyClock::time_point waiting_since() const { return waiting_since_; }
    // Closes the connection; a waiting request is first answered with the reading as it stands, as at
    // its deadline, and its connection then ends.
    void give_way();
    // At the limit of connections: one 503 and the connection is closed.
    void refuse();
    // The same beyond the refused connections that may linger, which each hold a descriptor up to a
    // second: the 503 goes out if the send buffer takes it, and the connection closes now, what the
    // client has sent so far taken first (so that the close is no reset).
    void refuse_at_once();
    // The service stops: an idle connection closes now, an answer being written is let finish.
    void stop();
    // A change of a scale this connection waits for or follows; the service's stop.
    void on_change(Scale& scale, const Snapshot& snapshot);
    void on_stop();

private:
    enum class State { reading, waiting, writing, lingering, streaming, closed };

    // The connection: reading a request, answering it, refusing, closing (session.cpp).
    Reply too_many_connections() const;
    void read_request();
    void on_read(beast::error_code error);
    std::optional<std::string> header(http::field field) const;
    void handle();
    std::vector<std::pair<std::string, std::string>> common_headers() const;
    void refuse_request(Reply reply);
    void linger();
    void drain_unread();
    void send(Reply reply, bool keep_alive);
    std::shared_ptr<http::response<http::string_body>> response_to(Reply reply, bool keep_alive);
    void end_wait_count();
    void close();

    // A request that waits for a reading, and an event stream (session_follow.cpp).
    void start_wait(const Wait& wait);
    void watch_while_waiting();
    const Snapshot& waited_latest() const { return server_.scales[wait_->scale]->latest(); }
    void stop_waiting();
    void finish_wait(const Snapshot& snapshot, bool timed_out);
    void open_stream(Scale* scale);
    std::string event_text(Scale& scale) const;
    void queue_event(Scale& scale);
    void take_pending();
    void write_chunk();
    void keep_alive_later();
    void watch_for_hang_up();

    ServiceState& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    State state_ = State::reading;
    SteadyClock::time_point started_ = SteadyClock::now();
    Route route_ = Route::other;
    std::string origin_;
    bool head_ = false;
    bool linger_ = false;       // the connection ends after this answer, once the client's unread bytes are taken
    bool peer_closed_ = false;  // the client shut down its side while its request waited
    bool waiting_counted_ = false;
    std::size_t queued_ = 0;    // requests in a row the client sent before it took the answer before
    std::size_t lingered_ = 0;
    std::array<char, 4096> linger_bytes_{};
    SteadyClock::time_point waiting_since_ = SteadyClock::now();  // on the client: since its last request or answer began
    std::optional<Wait> wait_;
    std::vector<std::shared_ptr<Listener>> listeners_;
    std::vector<Scale*> streamed_;  // the scales this stream follows
    bool numbered_ = false;         // its events carry ids: one scale's stream
    bool stream_counted_ = false;   // among the service's streams
    net::steady_timer timer_{stream_.get_executor()};
    bool writing_ = false;
    std::string out_;
    std::vector<Scale*> pending_;  // scales changed while a write was under way
    char hang_up_byte_[1]{};
};

}  // namespace Wsr37100::service
