// A scale held by the library's monitor; its changes reach the network thread, the journal and the observers.
#include "scale.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/reading.hpp"
#include "journal.hpp"

namespace Wsr37100::service {

std::string state_of(const Snapshot& snapshot) {
    if (snapshot.change == 0) return "starting";
    switch (snapshot.reading.tipo) {
        case WSR_PESO: return "weight";
        case WSR_STATUS: return common::to_json(snapshot.reading, "")["status"].get<std::string>();
        case WSR_SEM_LEITURA: return "no-reading";
        default: return "failure";
    }
}

Scale::Scale(ScaleSettings settings, std::string log_folder, Post post, ChangeCounter& counter, Journal journal)
    : settings_(std::move(settings)),
      log_folder_(std::move(log_folder)),
      post_(std::move(post)),
      counter_(counter),
      journal_(journal) {}

Scale::~Scale() { monitor_.reset(); }

void Scale::start() {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = settings_.no_log ? WSR_LOG_NENHUM : (log_folder_.empty() ? WSR_LOG_PADRAO : WSR_LOG_PASTA);
    opcoes.pasta_log = log_folder_.c_str();
    opcoes.intervalo_ms = settings_.gap_ms;
    opcoes.quadro = settings_.frame;
    monitor_.reset(WsrMonitorInicia(settings_.port.c_str(), settings_.baud.c_str(), &opcoes, &Scale::on_change, this));
    if (!monitor_) throw std::runtime_error("scale " + settings_.name + ": the monitor of " + settings_.port + " could not start");
}

void Scale::stop() {
    monitor_.reset();
    auto observers = std::move(observers_);
    observers_.clear();
    for (auto& weak : observers) {
        if (auto observer = weak.lock()) observer->on_stop();
    }
}

void Scale::check_stall() {
    if (!monitor_) return;
    WsrLeitura pulled{};
    pulled.tamanho = sizeof pulled;
    if (WsrMonitorUltima(monitor_.get(), &pulled) <= 0) return;
    // A stalled monitor calls no one: only a failure can be news here. Any
    // other change comes through the callback, and a failure that comes both
    // ways is taken once, by its number.
    if (pulled.tipo == WSR_FALHA) take(pulled, std::chrono::system_clock::now());
}

void Scale::check_log() {
    if (!monitor_) return;
    char why[WSR_MENSAGEM_MAX] = {};
    if (WsrMonitorFalhaLog(monitor_.get(), why, sizeof why) < 0 || log_failure_ == why) return;
    log_failure_ = why;
    rendered_.clear();  // the scale as clients see it tells its log
    const std::string scale = "scale " + settings_.name + " (" + settings_.port + "): ";
    if (log_failure_.empty()) {
        journal_.say(Level::info, scale + "its log is written again");
    } else {
        journal_.say(Level::warning, scale + "its log cannot be written, readings go on (" + common::to_utf8(log_failure_) + ")");
    }
}

void Scale::observe(std::weak_ptr<ScaleObserver> observer) {
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    observers_.push_back(std::move(observer));
}

void WSR37100_CALL Scale::on_change(const WsrLeitura* leitura, void* context) {
    // The monitor's thread: only hand the copy over; nothing may unwind into the library.
    auto* scale = static_cast<Scale*>(context);
    try {
        bool post = false;
        {
            const std::lock_guard guard(scale->incoming_lock_);
            scale->incoming_.reading = *leitura;
            scale->incoming_.at = std::chrono::system_clock::now();
            scale->incoming_.change = static_cast<std::uint64_t>(leitura->numero);
            post = !scale->posted_;
            scale->posted_ = true;
        }
        if (post) scale->post_([scale] { scale->take_incoming(); });
    } catch (...) {
        scale->journal_.say(Level::error, "a scale's change was lost: out of memory");
    }
}

void Scale::take_incoming() {
    Snapshot incoming;
    {
        const std::lock_guard guard(incoming_lock_);
        incoming = incoming_;
        posted_ = false;
    }
    take(incoming.reading, incoming.at);
}

void Scale::take(const WsrLeitura& reading, std::chrono::system_clock::time_point at) {
    // The monitor numbers its changes; one already taken (through the other path) is no change.
    const auto number = static_cast<std::uint64_t>(reading.numero);
    if (number <= latest_.change) return;
    apply(reading, at, number);
}

const std::string& Scale::rendered(const std::function<std::string(const Scale&)>& render) {
    if (rendered_change_ != latest_.change || rendered_.empty()) {
        rendered_ = render(*this);
        rendered_change_ = latest_.change;
    }
    return rendered_;
}

void Scale::apply(const WsrLeitura& reading, std::chrono::system_clock::time_point at, std::uint64_t number) {
    latest_.reading = reading;
    latest_.at = at;
    latest_.change = number;
    counter_.change(settings_.name, reading);

    // The journal hears of the scale coming and going, not of every weight.
    const bool readable = reading.tipo == WSR_PESO || reading.tipo == WSR_STATUS;
    std::string condition = readable ? "reading" : common::describe(reading);
    if (condition != condition_) {
        std::string text = "scale " + settings_.name + " (" + settings_.port + "): ";
        if (readable) {
            text += condition_.empty() ? "first reading: " : "reading again: ";
            text += common::describe(reading);
        } else {
            text += reading.tipo == WSR_FALHA ? "failure" : condition;
            const std::string message = common::message_utf8(reading);
            if (!message.empty()) text += " (" + message + ")";
        }
        journal_.say(readable ? Level::info : Level::warning, text);
        condition_ = std::move(condition);
    }

    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    const auto observers = observers_;  // an observer may add or end others
    for (const auto& weak : observers) {
        if (auto observer = weak.lock()) observer->on_change(latest_);
    }
}

}  // namespace Wsr37100::service
