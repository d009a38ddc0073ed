// What a connection carries out over time: a request that waits for a reading (a first one, or a
// settled one) and an event stream of one scale or of every scale.
#include <algorithm>

#include "common/reading.hpp"
#include "session.hpp"

namespace Wsr37100::service {

namespace {

using namespace std::chrono_literals;

constexpr auto kKeepAlive = 15s;    // a comment on an event stream that had nothing else to say
constexpr unsigned kRetryMs = 1000;  // an EventSource's reconnection delay

}  // namespace

void Session::start_wait(const Wait& wait) {
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
void Session::watch_while_waiting() {
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

void Session::give_way() {
    if (state_ != State::waiting) return close();
    request_.keep_alive(false);
    finish_wait(waited_latest(), true);
}

void Session::stop_waiting() {
    end_wait_count();
    timer_.cancel();
    listeners_.clear();
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
}

void Session::finish_wait(const Snapshot& snapshot, bool timed_out) {
    stop_waiting();
    if (peer_closed_) request_.keep_alive(false);
    send(waited(*wait_, snapshot, timed_out, server_.context), request_.keep_alive());
}

// One scale's stream, or (scale null) every scale's in one, for a page that follows them all
// over one connection: browsers keep only six open to one host.
void Session::open_stream(Scale* scale) {
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
std::string Session::event_text(Scale& scale) const {
    std::string id = numbered_ ? "id: " + server_.event_id(scale.latest().change) + "\n" : "";
    return "event: reading\n" + id + "data: " + scale.rendered([](const Scale& each) { return dumped(scale_json(each)); }) +
           "\n\n";
}

void Session::queue_event(Scale& scale) {
    // Only the latest of each scale matters: a slow client gets the newest readings, not a
    // backlog, and nothing is written out for it until its last write is done.
    if (std::find(pending_.begin(), pending_.end(), &scale) == pending_.end()) pending_.push_back(&scale);
    if (!writing_) {
        take_pending();
        writing_ = true;
        write_chunk();
    }
}

void Session::take_pending() {
    out_.clear();
    for (Scale* scale : pending_) out_ += event_text(*scale);
    pending_.clear();
}

void Session::write_chunk() {
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

void Session::keep_alive_later() {
    timer_.expires_after(kKeepAlive);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (error || self->state_ != State::streaming || self->writing_) return;
        self->out_ = ": keep-alive\n\n";
        self->writing_ = true;
        self->write_chunk();
    });
}

// A client of an event stream sends nothing more; its hang-up (or any byte) ends the stream now.
void Session::watch_for_hang_up() {
    stream_.socket().async_read_some(net::buffer(hang_up_byte_), [self = shared_from_this()](beast::error_code, std::size_t) {
        self->close();
    });
}

}  // namespace Wsr37100::service
