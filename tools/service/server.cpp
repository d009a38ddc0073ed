// The HTTP side of the weighing service (Boost.Beast): connections, limits, waits and event streams; routes.cpp says what is answered.
#include "server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "address.hpp"
#include "common/clock.hpp"
#include "common/reading.hpp"
#include "journal.hpp"
#include "metrics.hpp"
#include "routes.hpp"
#include "scale.hpp"

namespace Wsr37100::service {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kReadTimeout = 10s;       // a whole request, or the quiet between two on one connection
constexpr auto kWriteTimeout = 10s;      // a client that takes no more bytes for this long is dropped
constexpr std::size_t kPipelinedBytes = 1024;  // read while a request waits: its hang-up, or the next request
constexpr auto kLingerLimit = 1s;        // after an error answer, the client's unread bytes are taken and dropped this long
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kLingeringRefusals = 32;  // connections refused at the limit that linger so; the others close at once
constexpr std::size_t kQueuedRequests = 8;  // requests answered in a row while the client had sent the next: then the connection ends
// What the service keeps of the descriptor limit for others than its connections: what each scale's
// monitor opens (its wake-up pipe, port, lock files and daily log, a name lookup) and a few spare.
constexpr std::size_t kDescriptorsPerScale = 8;
constexpr std::size_t kSpareDescriptors = 16;
constexpr std::size_t kProgramDescriptors = 64;  // what a service wants for itself, the listener and the event loop's
constexpr auto kDescriptorsPause = 20ms;  // how often a service out of descriptors for connections looks again
constexpr auto kKeepAlive = 15s;         // a comment on an event stream that had nothing else to say
constexpr auto kStopGrace = 300ms;       // answers under way may finish before connections are cut
constexpr auto kJoinLimit = 700ms;
constexpr auto kAcceptFailureEvery = 60s;  // how often a failing accept is told to the journal
constexpr auto kQuietCheck = 5ms;         // how often a stopping service looks whether its answers are out
constexpr unsigned kRetryMs = 1000;          // an EventSource's reconnection delay
constexpr auto kStallCheck = 250ms;        // how often the scales' monitors are asked whether they stalled
constexpr std::string_view kServerName = "wsr37100/" WSR37100_VERSION_STRING;

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

Json scale_json(const Scale& scale) {
    const Snapshot& latest = scale.latest();
    Json json;
    json["name"] = scale.settings().name;
    json["port"] = common::to_utf8(scale.settings().port);
    json["baud"] = scale.settings().baud;
    json["state"] = state_of(latest);
    json["change"] = latest.change;
    json["reading"] = latest.change == 0 ? Json() : Json(common::to_json(latest.reading, common::timestamp(latest.at)));
    return json;
}

}  // namespace

class Session;

struct Server::Impl {
    Impl(ServeSettings settings_in, std::vector<std::string> log_folders, Journal journal_in)
        : settings(std::move(settings_in)), journal(journal_in), loopback_only(loopback(settings.listen)) {
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
    void end_when_quiet(const std::shared_ptr<net::steady_timer>& timer, SteadyClock::time_point deadline);
    std::size_t open_connections() {
        std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
        return sessions.size();
    }
    std::size_t lingering_refusals() {
        std::erase_if(refusing, [](const auto& weak) { return weak.expired(); });
        return refusing.size();
    }
    std::string event_id(std::uint64_t change) const { return run_id + "-" + std::to_string(change); }

    void accept();
    void watch_stalls();
    void shut_down();
    bool make_room();

    // What the routes read of the service.
    class Context final : public RouteContext {
    public:
        explicit Context(Impl& impl) : impl_(impl) {}
        const ServeSettings& settings() const override { return impl_.settings; }
        bool loopback_only() const override { return impl_.loopback_only; }
        const Snapshot& latest(std::size_t scale) const override { return impl_.scales[scale]->latest(); }
        Json scale_json(std::size_t scale) const override { return service::scale_json(*impl_.scales[scale]); }
        std::string metrics_text() const override { return impl_.metrics.text(impl_.scale_views(), impl_.open_connections()); }

    private:
        Impl& impl_;
    };

    ServeSettings settings;
    Journal journal;
    const bool loopback_only;
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
    std::size_t streams = 0;                         // event streams open
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
    // Every byte a client sends counts against the read buffer's limit: the request
    // line and headers, a body (chunk sizes, extensions and trailers included) and
    // what it pipelines while a request waits.
    Session(Server::Impl& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)),
          buffer_(server.settings.limits.header_bytes + server.settings.limits.body_bytes + kPipelinedBytes) {}

    void start() { read_request(); }

    // Whether this connection gives way to a new one when the service is at its limit. First, one whose
    // client takes no answer: it sent its next request before it took this one's answer, or leaves the
    // answer stalled on a full send buffer. Then one still reading a request, idle between two, or
    // dropping what its client still sends after an error answer. Never a request waiting for a reading,
    // an answer going out to a client that takes it, or an event stream. Of one kind, the one that has
    // waited longest on its client gives way first.
    enum class Yield { never, later, first };
    Yield yields() {
        if (state_ == State::reading) return queued_ > 0 ? Yield::first : Yield::later;
        if (state_ == State::lingering) return Yield::later;
        if (state_ != State::writing) return Yield::never;
        return queued_ > 0 || send_buffer_full(static_cast<std::uintptr_t>(stream_.socket().native_handle())) ? Yield::first
                                                                                                            : Yield::never;
    }
    SteadyClock::time_point waiting_since() const { return waiting_since_; }
    void give_way() { close(); }

    // At the limit of connections: one 503 and the connection is closed.
    void refuse() {
        route_ = Route::refused;
        started_ = SteadyClock::now();
        linger_ = true;
        send(too_many_connections(), false);
    }

    // The same beyond the refused connections that may linger, which each hold a descriptor up to a
    // second: the 503 goes out if the send buffer takes it, and the connection closes now, what the
    // client has sent so far taken first (so that the close is no reset).
    void refuse_at_once() {
        route_ = Route::refused;
        started_ = SteadyClock::now();
        std::ostringstream text;
        text << *response_to(too_many_connections(), false);
        const std::string answer = text.str();
        auto& socket = stream_.socket();
        beast::error_code error;
        socket.non_blocking(true, error);
        for (std::size_t taken = 0; !error && taken < kLingerBytes;) taken += socket.read_some(net::buffer(linger_bytes_), error);
        socket.write_some(net::buffer(answer), error);
        close();
    }

    // The service stops: an idle connection closes now, an answer being written is let finish.
    void stop() {
        if (state_ == State::reading) close();
    }

    void on_change(Scale& scale, const Snapshot& snapshot) {
        if (state_ == State::waiting && wait_over(*wait_, snapshot)) {
            finish_wait(snapshot, false);
        } else if (state_ == State::streaming) {
            queue_event(scale);
        }
    }

    void on_stop() {
        if (state_ == State::waiting) {
            stop_waiting();
            send(problem_reply("shutting-down", "the service is stopping"), false);
        } else if (state_ == State::streaming) {
            close();
        }
    }

private:
    enum class State { reading, waiting, writing, lingering, streaming, closed };

    Reply too_many_connections() const {
        return problem_reply("too-many-connections", "the service has " + std::to_string(server_.settings.limits.connections) +
                                                         " connections open, its limit");
    }

    void read_request() {
        state_ = State::reading;
        waiting_since_ = SteadyClock::now();
        peer_closed_ = false;
        if (server_.stopping) return close();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.settings.limits.header_bytes));
        parser_->body_limit(server_.settings.limits.body_bytes);
        stream_.expires_after(kReadTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) { self->on_read(error); });
    }

    void on_read(beast::error_code error) {
        if (state_ == State::closed) return;
        started_ = SteadyClock::now();
        route_ = Route::other;
        if (error == http::error::end_of_stream || error == beast::error::timeout || error == net::error::operation_aborted ||
            error == net::error::connection_reset || error == net::error::eof) {
            return close();
        }
        const std::string header_limit = std::to_string(server_.settings.limits.header_bytes);
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            return refuse_request(problem_reply("headers-too-large", "the request line and headers exceed " + header_limit + " bytes"));
        }
        if (error == http::error::body_limit) {
            return refuse_request(problem_reply("request-too-large", "the body exceeds " +
                                                                        std::to_string(server_.settings.limits.body_bytes) + " bytes"));
        }
        if (error) return refuse_request(problem_reply("bad-request", error.message()));
        // No route takes a body: one is refused unread, however it is sent.
        if (!parser_->is_done()) {
            return refuse_request(problem_reply("request-too-large", "this service takes no request body"));
        }
        request_ = parser_->release();
        // The client sent the next request before it took this one's answer: one more in a row.
        beast::error_code ignored;
        queued_ = buffer_.size() > 0 || stream_.socket().available(ignored) > 0 ? queued_ + 1 : 0;
        const auto headers = static_cast<std::size_t>(std::distance(request_.begin(), request_.end()));
        if (headers > server_.settings.limits.headers) {
            return refuse_request(problem_reply("headers-too-large", std::to_string(headers) + " header fields, more than " +
                                                                        std::to_string(server_.settings.limits.headers)));
        }
        for (const auto field : {http::field::host, http::field::origin}) {
            if (request_.count(field) > 1) {
                return refuse_request(problem_reply("bad-request", "more than one " + std::string(http::to_string(field)) +
                                                                       " header"));
            }
        }
        origin_.clear();
        try {
            handle();
        } catch (const std::exception& failure) {
            // A fault of ours: this request gets a 500, every other client goes on being served.
            server_.journal.say(Level::error, std::string("a request failed: ") + failure.what());
            listeners_.clear();
            timer_.cancel();
            if (state_ != State::closed) send(problem_reply("internal-error", "the service failed to answer this request"), false);
        }
    }

    std::optional<std::string> header(http::field field) const {
        const auto found = request_.find(field);
        if (found == request_.end()) return std::nullopt;
        return std::string(found->value());
    }

    void handle() {
        const Request request{std::string(request_.method_string()), std::string(request_.target()),
                              header(http::field::host), header(http::field::origin), header(http::field::authorization)};
        Routed routed = route(request, server_.context);
        route_ = routed.route;
        origin_ = std::move(routed.origin);
        head_ = routed.head;
        if (auto* reply = std::get_if<Reply>(&routed.action)) return send(std::move(*reply), !reply->close && request_.keep_alive());
        if (auto* stream = std::get_if<Stream>(&routed.action)) {
            // Streams leave room for requests: one more than their limit is refused, the connection kept.
            if (server_.streams >= server_.stream_limit) {
                server_.metrics.stream_refused();
                return send(problem_reply("too-many-streams", "the service has " + std::to_string(server_.streams) +
                                                                  " event streams open, its limit"),
                            request_.keep_alive());
            }
            return open_stream(stream->scale ? server_.scales[*stream->scale].get() : nullptr);
        }
        start_wait(std::get<Wait>(routed.action));
    }

    void start_wait(const Wait& wait) {
        wait_ = wait;
        Scale& scale = *server_.scales[wait.scale];
        if (wait_over(wait, scale.latest())) return finish_wait(scale.latest(), false);
        state_ = State::waiting;
        waiting_counted_ = true;
        server_.metrics.wait_started();
        listeners_.push_back(std::make_shared<Listener>(weak_from_this(), scale));
        scale.observe(listeners_.back());
        watch_while_waiting();
        timer_.expires_after(std::chrono::milliseconds(wait.wait_ms));
        timer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (!error && self->state_ == State::waiting) self->finish_wait(self->waited_latest(), true);
        });
    }

    // A client that goes away while its request waits frees its connection now, not at the deadline.
    // Bytes it sends meanwhile (a pipelined request) are kept for the next read.
    // A client that half-closes (shuts down its sending side) gets its answer at once.
    void watch_while_waiting() {
        const std::size_t room = std::min(kPipelinedBytes, buffer_.max_size() - buffer_.size());
        if (room == 0 || peer_closed_) return;  // a full buffer: the client waits for its answer like any other
        stream_.socket().async_read_some(buffer_.prepare(room), [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
            self->buffer_.commit(bytes);
            if (self->state_ != State::waiting || error == net::error::operation_aborted) return;
            if (error == net::error::eof) {
                // The client shut down its side (or hung up): it gets the answer as it stands now.
                self->peer_closed_ = true;
                self->finish_wait(self->waited_latest(), true);
            } else if (error) {
                self->close();
            } else {
                self->watch_while_waiting();
            }
        });
    }

    const Snapshot& waited_latest() const { return server_.scales[wait_->scale]->latest(); }

    void stop_waiting() {
        end_wait_count();
        timer_.cancel();
        listeners_.clear();
        beast::error_code ignored;
        stream_.socket().cancel(ignored);
    }

    void finish_wait(const Snapshot& snapshot, bool timed_out) {
        stop_waiting();
        if (peer_closed_) request_.keep_alive(false);
        send(waited(*wait_, snapshot, timed_out, server_.context), request_.keep_alive());
    }

    std::vector<std::pair<std::string, std::string>> common_headers() const {
        std::vector<std::pair<std::string, std::string>> headers{
            {std::string(http::to_string(http::field::server)), std::string(kServerName)},
            {std::string(http::to_string(http::field::cache_control)), "no-store"},
            {std::string(http::to_string(http::field::vary)), "Origin"},
            {"X-Content-Type-Options", "nosniff"}};
        if (!origin_.empty()) headers.emplace_back(http::to_string(http::field::access_control_allow_origin), origin_);
        return headers;
    }

    // A request refused before it was read whole: the answer, then the connection ends
    // after the client's unread bytes are taken (bounded), so the client reads the answer
    // instead of a reset.
    void refuse_request(Reply reply) {
        linger_ = true;
        send(std::move(reply), false);
    }

    void linger() {
        state_ = State::lingering;
        waiting_since_ = SteadyClock::now();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        lingered_ = 0;
        stream_.expires_after(kLingerLimit);
        drain_unread();
    }

    void drain_unread() {
        stream_.async_read_some(net::buffer(linger_bytes_), [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
            self->lingered_ += bytes;
            if (error || self->lingered_ > kLingerBytes) return self->close();
            self->drain_unread();
        });
    }

    void send(Reply reply, bool keep_alive) {
        if (state_ == State::closed) return;
        state_ = State::writing;
        waiting_since_ = SteadyClock::now();
        if (server_.stopping) keep_alive = false;
        // A client that sends request after request and takes no answer holds its connection no longer: this
        // answer is its last, and the requests it sent after are dropped unread.
        if (queued_ >= kQueuedRequests) {
            keep_alive = false;
            linger_ = true;
        }
        auto response = response_to(std::move(reply), keep_alive);
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, *response, [self = shared_from_this(), response, keep_alive](beast::error_code error, std::size_t) {
            if (!error && self->linger_) return self->linger();
            if (error || !keep_alive) return self->close();
            self->read_request();
        });
    }

    // The answer, with the service's headers, counted.
    std::shared_ptr<http::response<http::string_body>> response_to(Reply reply, bool keep_alive) {
        server_.metrics.request(route_name(route_), reply.status,
                                std::chrono::duration<double>(SteadyClock::now() - started_).count());
        auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(reply.status),
                                                                              request_.version() == 10 ? 10 : 11);
        for (auto& [field, value] : common_headers()) response->set(field, value);
        for (auto& [field, value] : reply.headers) response->set(field, value);
        if (!reply.content_type.empty()) response->set(http::field::content_type, reply.content_type);
        response->keep_alive(keep_alive);
        const std::size_t length = reply.body.size();
        if (!head_) response->body() = std::move(reply.body);
        if (reply.status != 204) response->content_length(length);
        head_ = false;
        return response;
    }

    // One scale's stream, or (scale null) every scale's in one, for a page that follows them all
    // over one connection: browsers keep only six open to one host.
    void open_stream(Scale* scale) {
        state_ = State::streaming;
        ++server_.streams;
        stream_counted_ = true;
        numbered_ = scale != nullptr;
        if (scale != nullptr) {
            streamed_.push_back(scale);
        } else {
            for (const auto& each : server_.scales) streamed_.push_back(each.get());
        }
        for (Scale* each : streamed_) each->stream_opened();
        server_.metrics.request(route_name(route_), 200, std::chrono::duration<double>(SteadyClock::now() - started_).count());
        auto response = std::make_shared<http::response<http::empty_body>>(http::status::ok, 11);
        for (auto& [field, value] : common_headers()) response->set(field, value);
        response->set(http::field::content_type, "text/event-stream");
        response->set("X-Accel-Buffering", "no");
        response->chunked(true);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*response);
        out_ = "retry: " + std::to_string(kRetryMs) + "\n\n";
        const std::string last_id(request_["Last-Event-ID"]);
        for (Scale* each : streamed_) {
            const Snapshot& latest = each->latest();
            if (latest.change > 0 && (scale == nullptr || last_id != server_.event_id(latest.change))) out_ += event_text(*each);
            listeners_.push_back(std::make_shared<Listener>(weak_from_this(), *each));
            each->observe(listeners_.back());
        }
        writing_ = true;
        stream_.expires_after(kWriteTimeout);
        http::async_write_header(stream_, *serializer, [self = shared_from_this(), response, serializer](beast::error_code error, std::size_t) {
            if (error) return self->close();
            self->watch_for_hang_up();
            self->write_chunk();
        });
    }

    // A scale's own stream numbers its events, so a reconnection resumes; the stream of every
    // scale has no one number to resume from and starts again with each scale's latest.
    std::string event_text(Scale& scale) const {
        std::string id = numbered_ ? "id: " + server_.event_id(scale.latest().change) + "\n" : "";
        return "event: reading\n" + id + "data: " + scale.rendered([](const Scale& each) { return dumped(scale_json(each)); }) +
               "\n\n";
    }

    void queue_event(Scale& scale) {
        // Only the latest of each scale matters: a slow client gets the newest readings, not a
        // backlog, and nothing is written out for it until its last write is done.
        if (std::find(pending_.begin(), pending_.end(), &scale) == pending_.end()) pending_.push_back(&scale);
        if (!writing_) {
            take_pending();
            writing_ = true;
            write_chunk();
        }
    }

    void take_pending() {
        out_.clear();
        for (Scale* scale : pending_) out_ += event_text(*scale);
        pending_.clear();
    }

    void write_chunk() {
        stream_.expires_after(kWriteTimeout);
        net::async_write(stream_, http::make_chunk(net::buffer(out_)), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error || self->state_ != State::streaming) return self->close();
            if (!self->pending_.empty()) {
                self->take_pending();
                return self->write_chunk();
            }
            self->writing_ = false;
            self->keep_alive_later();
        });
    }

    void keep_alive_later() {
        timer_.expires_after(kKeepAlive);
        timer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->state_ != State::streaming || self->writing_) return;
            self->out_ = ": keep-alive\n\n";
            self->writing_ = true;
            self->write_chunk();
        });
    }

    // A client of an event stream sends nothing more; its hang-up (or any byte) ends the stream now.
    void watch_for_hang_up() {
        stream_.socket().async_read_some(net::buffer(hang_up_byte_), [self = shared_from_this()](beast::error_code, std::size_t) {
            self->close();
        });
    }

    void end_wait_count() {
        if (waiting_counted_) server_.metrics.wait_ended();
        waiting_counted_ = false;
    }

    void close() {
        if (state_ == State::closed) return;
        end_wait_count();
        if (stream_counted_) --server_.streams;
        stream_counted_ = false;
        state_ = State::closed;
        timer_.cancel();
        listeners_.clear();
        for (Scale* each : streamed_) each->stream_closed();
        streamed_.clear();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    Server::Impl& server_;
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

void Listener::on_change(const Snapshot& snapshot) {
    if (auto session = session_.lock()) session->on_change(scale_, snapshot);
}

void Listener::on_stop() {
    if (auto session = session_.lock()) session->on_stop();
}

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
            (yields > kind || (yields == kind && session->waiting_since() < oldest->waiting_since()))) {
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

void Server::Impl::watch_stalls() {
    stall_watch.expires_after(kStallCheck);
    stall_watch.async_wait([this](beast::error_code error) {
        if (error || stopping) return;
        for (auto& scale : scales) scale->check_stall();
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
