// A connection of the weighing service: its requests read within their limits, answered with the
// service's headers, refused, lingered over and closed.
#include <algorithm>
#include <sstream>

#include "address.hpp"
#include "session.hpp"

namespace Wsr37100::service {

namespace {

using namespace std::chrono_literals;

constexpr auto kReadTimeout = 10s;       // a whole request, or the quiet between two on one connection
constexpr auto kLingerLimit = 1s;        // after an error answer, the client's unread bytes are taken and dropped this long
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::size_t kQueuedRequests = 8;  // requests answered in a row while the client had sent the next: then the connection ends
constexpr std::string_view kServerName = "wsr37100/" WSR37100_VERSION_STRING;

}  // namespace

// Every byte a client sends counts against the read buffer's limit: the request
// line and headers, a body (chunk sizes, extensions and trailers included) and
// what it pipelines while a request waits.
Session::Session(ServiceState& server, tcp::socket socket)
    : server_(server), stream_(std::move(socket)),
      buffer_(server.settings.limits.header_bytes + server.settings.limits.body_bytes + kPipelinedBytes) {}

Session::Yield Session::yields() {
    if (state_ == State::reading) return queued_ > 0 ? Yield::first : Yield::later;
    if (state_ == State::lingering || state_ == State::waiting) return Yield::later;
    if (state_ != State::writing) return Yield::never;
    return queued_ > 0 || send_buffer_full(static_cast<std::uintptr_t>(stream_.socket().native_handle())) ? Yield::first
                                                                                                        : Yield::never;
}

bool Session::request_arrived() {
    if (state_ != State::reading) return false;
    // Its header read whole, its handler not yet run; or bytes in the socket the service has not read.
    beast::error_code ignored;
    return (parser_ && parser_->is_header_done()) || stream_.socket().available(ignored) > 0;
}

// At the limit of connections: one 503 and the connection is closed.
void Session::refuse() {
    route_ = Route::refused;
    started_ = SteadyClock::now();
    linger_ = true;
    send(too_many_connections(), false);
}

// The same beyond the refused connections that may linger, which each hold a descriptor up to a
// second: the 503 goes out if the send buffer takes it, and the connection closes now, what the
// client has sent so far taken first (so that the close is no reset).
void Session::refuse_at_once() {
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
void Session::stop() {
    if (state_ == State::reading) close();
}

void Session::on_change(Scale& scale, const Snapshot& snapshot) {
    if (state_ == State::waiting && wait_over(*wait_, snapshot)) {
        finish_wait(snapshot, false);
    } else if (state_ == State::streaming) {
        queue_event(scale);
    }
}

void Session::on_stop() {
    if (state_ == State::waiting) {
        stop_waiting();
        send(problem_reply("shutting-down", "the service is stopping"), false);
    } else if (state_ == State::streaming) {
        close();
    }
}

Reply Session::too_many_connections() const {
    return problem_reply("too-many-connections", "the service has " + std::to_string(server_.settings.limits.connections) +
                                                     " connections open, its limit");
}

void Session::read_request() {
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

void Session::on_read(beast::error_code error) {
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

std::optional<std::string> Session::header(http::field field) const {
    const auto found = request_.find(field);
    if (found == request_.end()) return std::nullopt;
    return std::string(found->value());
}

void Session::handle() {
    const Request request{std::string(request_.method_string()), std::string(request_.target()),
                          header(http::field::host), header(http::field::origin), header(http::field::authorization)};
    Routed routed = route(request, server_.context);
    if (routed.origin_refused) server_.origin_refused(routed.origin);
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

std::vector<std::pair<std::string, std::string>> Session::common_headers() const {
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
void Session::refuse_request(Reply reply) {
    linger_ = true;
    send(std::move(reply), false);
}

void Session::linger() {
    state_ = State::lingering;
    waiting_since_ = SteadyClock::now();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    lingered_ = 0;
    stream_.expires_after(kLingerLimit);
    drain_unread();
}

void Session::drain_unread() {
    stream_.async_read_some(net::buffer(linger_bytes_), [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
        self->lingered_ += bytes;
        if (error || self->lingered_ > kLingerBytes) return self->close();
        self->drain_unread();
    });
}

void Session::send(Reply reply, bool keep_alive) {
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
std::shared_ptr<http::response<http::string_body>> Session::response_to(Reply reply, bool keep_alive) {
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

void Session::end_wait_count() {
    if (waiting_counted_) server_.metrics.wait_ended();
    waiting_counted_ = false;
}

void Session::close() {
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

void Listener::on_change(const Snapshot& snapshot) {
    if (auto session = session_.lock()) session->on_change(scale_, snapshot);
}

void Listener::on_stop() {
    if (auto session = session_.lock()) session->on_stop();
}

}  // namespace Wsr37100::service
