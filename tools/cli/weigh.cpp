// `wsr37100 weigh`: one reading (or one every so often) through BuscaPesoEx.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "commands.hpp"
#include "reading.hpp"
#include "wsr37100.h"

namespace Wsr37100::cli {

std::atomic<bool> interrupted{false};

bool sleep_unless_interrupted(long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!interrupted && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !interrupted;
}

namespace {

int weigh_once(const WeighOptions& options) {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = options.no_log ? WSR_LOG_NENHUM : (options.log_dir.empty() ? WSR_LOG_PADRAO : WSR_LOG_PASTA);
    opcoes.pasta_log = options.log_dir.c_str();
    opcoes.intervalo_ms = options.gap_ms;
    WsrLeitura reading{};
    reading.tamanho = sizeof reading;
    BuscaPesoEx(options.port.c_str(), options.baud.c_str(), &opcoes, &reading);
    if (options.json) {
        std::printf("%s\n", to_json(reading).c_str());
    } else {
        std::printf("%s\n", describe(reading).c_str());
        if (options.raw) {
            std::printf("reply (%d bytes, %d polls): %s\n", reading.bytes_resposta, reading.consultas,
                        reply_hex(reading).c_str());
        }
    }
    std::fflush(stdout);
    return exit_status(reading);
}

}  // namespace

int weigh(const WeighOptions& options) {
    if (options.watch_seconds <= 0) return weigh_once(options);
    catch_interrupts();
    int status = kExitWeight;
    const long period_ms = std::lround(options.watch_seconds * 1000);
    while (!interrupted) {
        const auto started = std::chrono::steady_clock::now();
        status = weigh_once(options);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        if (!sleep_unless_interrupted(static_cast<long>(period_ms - took.count()))) break;
    }
    return status;
}

}  // namespace Wsr37100::cli
