// A reading through BuscaPesoEx on its own thread, waited for unless interrupted.
#include "reader.hpp"

#include <chrono>

namespace Wsr37100::cli {

namespace {
constexpr std::chrono::milliseconds kInterruptCheck{20};
}  // namespace

BackgroundReading::BackgroundReading(ReadRequest request) {
    std::promise<WsrLeitura> promise;
    result_ = promise.get_future();
    worker_ = std::thread([request = std::move(request), promise = std::move(promise)]() mutable {
        WsrOpcoes opcoes{};
        opcoes.tamanho = sizeof opcoes;
        opcoes.log = request.log;
        opcoes.pasta_log = request.log_folder.c_str();
        opcoes.intervalo_ms = request.gap_ms;
        WsrLeitura reading{};
        reading.tamanho = sizeof reading;
        BuscaPesoEx(request.port.c_str(), request.baud.c_str(), &opcoes, &reading);
        promise.set_value(reading);
    });
}

BackgroundReading::~BackgroundReading() { worker_.join(); }

std::optional<WsrLeitura> BackgroundReading::wait(const common::Interrupts& interrupts) {
    while (result_.wait_for(kInterruptCheck) != std::future_status::ready) {
        if (interrupts.requested()) return std::nullopt;
    }
    return result_.get();
}

}  // namespace Wsr37100::cli
