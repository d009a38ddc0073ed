// `wsr37100 weigh`: one reading, or one every so often until Ctrl-C.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "clock.hpp"
#include "commands.hpp"
#include "folders.hpp"
#include "interrupts.hpp"
#include "reader.hpp"
#include "reading.hpp"

namespace Wsr37100::cli {

namespace {

// Where the log goes: --no-log, --log-dir, dados beside the tool when it
// exists, else the user's own log folder.
ReadRequest read_request(const WeighOptions& options) {
    ReadRequest request{options.port, options.baud, WSR_LOG_PADRAO, {}, options.gap_ms};
    if (options.no_log) {
        request.log = WSR_LOG_NENHUM;
    } else if (!options.log_dir.empty()) {
        request.log = WSR_LOG_PASTA;
        request.log_folder = options.log_dir;
    } else if (!dados_beside_program()) {
        request.log = WSR_LOG_PASTA;
        request.log_folder = user_log_folder();
    }
    return request;
}

// The result on stdout; the module's message, and a failure, on stderr. In
// watch mode every line starts with its timestamp.
void show(const WsrLeitura& reading, const WeighOptions& options, bool stamped) {
    const std::string time = timestamp(std::chrono::system_clock::now());
    const std::string prefix = stamped ? time + " " : "";
    if (options.json) {
        std::printf("%s\n", to_json(reading, time).dump().c_str());
    } else {
        const std::string line = describe(reading);
        if (!line.empty()) std::printf("%s%s\n", prefix.c_str(), line.c_str());
        if (options.raw) {
            std::printf("%sreply (%d bytes, %d polls): %s\n", prefix.c_str(), reading.bytes_resposta,
                        reading.consultas, reply_hex(reading).c_str());
        }
    }
    std::fflush(stdout);
    if (reading.tipo == WSR_FALHA) std::fprintf(stderr, "%swsr37100 weigh: the reading failed; the module says:\n", prefix.c_str());
    const std::string message = message_utf8(reading);
    if (!message.empty() && (!options.json || reading.tipo == WSR_FALHA)) {
        std::fprintf(stderr, "%s%s\n", prefix.c_str(), message.c_str());
    }
}

WsrLeitura read_once(const ReadRequest& request) {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = request.log;
    opcoes.pasta_log = request.log_folder.c_str();
    opcoes.intervalo_ms = request.gap_ms;
    WsrLeitura reading{};
    reading.tamanho = sizeof reading;
    BuscaPesoEx(request.port.c_str(), request.baud.c_str(), &opcoes, &reading);
    return reading;
}

[[noreturn]] void end_interrupted() {
    std::fflush(nullptr);
    std::_Exit(kExitInterrupted);
}

// Reads every period until an interrupt. A reading in progress is not waited
// for: the process ends at once, and the system closes the port.
[[noreturn]] void watch(const ReadRequest& request, const WeighOptions& options) {
    const auto period = std::chrono::milliseconds(std::llround(options.watch_seconds * 1000));
    Interrupts interrupts;
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        BackgroundReading background(request);
        const auto reading = background.wait(interrupts);
        if (!reading) end_interrupted();
        show(*reading, options, !options.json);
        const auto took = std::chrono::steady_clock::now() - started;
        if (interrupts.requested() ||
            (took < period && !interrupts.sleep_for(std::chrono::duration_cast<std::chrono::milliseconds>(period - took)))) {
            end_interrupted();
        }
    }
}

}  // namespace

int weigh(const WeighOptions& options) {
    ReadRequest request;
    try {
        request = read_request(options);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "wsr37100 weigh: %s\n", error.what());
        return kExitFailure;
    }
    if (options.watch_seconds > 0) watch(request, options);
    const WsrLeitura reading = read_once(request);
    show(reading, options, false);
    return exit_status(reading);
}

}  // namespace Wsr37100::cli
