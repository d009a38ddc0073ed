// `wsr37100 weigh`: one reading, or one every so often until Ctrl-C.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "commands.hpp"
#include "common/clock.hpp"
#include "common/folders.hpp"
#include "common/interrupts.hpp"
#include "common/reading.hpp"
#include "reader.hpp"
#include "wsr37100.h"

namespace Wsr37100::cli {

namespace {

// The baud text as the module takes it: decimal digits only.
const CLI::Validator kWholeNumber(
    [](const std::string& text) {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
            return "not a whole number (as 9600): " + text;
        }
        return std::string();
    },
    "NUMBER");


// Where the log goes: --no-log, --log-dir, dados beside the tool when it
// exists, else the user's own log folder.
ReadRequest read_request(const WeighOptions& options) {
    ReadRequest request{options.port, options.baud, WSR_LOG_PADRAO, {}, options.gap_ms};
    if (options.no_log) {
        request.log = WSR_LOG_NENHUM;
    } else if (!options.log_dir.empty()) {
        request.log = WSR_LOG_PASTA;
        request.log_folder = options.log_dir;
    } else if (!common::dados_beside_program()) {
        request.log = WSR_LOG_PASTA;
        request.log_folder = common::user_log_folder();
    }
    return request;
}

// A weight on stdout, and nothing else there: what came instead of one (a
// status, an unreadable reply, no reading), the module's message and a failure go
// to stderr, so a script that reads stdout never takes them for a number. --json
// prints its object on stdout whatever came ("weight" is then null). In watch
// mode every line starts with its timestamp.
void show(const WsrLeitura& reading, const WeighOptions& options, bool stamped) {
    const std::string time = common::timestamp(std::chrono::system_clock::now());
    const std::string prefix = stamped ? time + " " : "";
    if (options.json) {
        std::printf("%s\n", common::to_json(reading, time).dump().c_str());
    } else {
        std::FILE* out = reading.tipo == WSR_PESO ? stdout : stderr;
        const std::string line = common::describe(reading);
        if (!line.empty()) std::fprintf(out, "%s%s\n", prefix.c_str(), line.c_str());
        if (options.raw) {
            std::fprintf(out, "%sreply (%d bytes, %d polls): %s\n", prefix.c_str(), reading.bytes_resposta,
                         reading.consultas, common::reply_hex(reading).c_str());
        }
    }
    std::fflush(stdout);
    if (reading.tipo == WSR_FALHA) std::fprintf(stderr, "%swsr37100 weigh: the reading failed; the module says:\n", prefix.c_str());
    const std::string message = common::message_utf8(reading);
    if (!message.empty() && (!options.json || reading.tipo == WSR_FALHA)) {
        std::fprintf(stderr, "%s%s\n", prefix.c_str(), message.c_str());
    }
}

WsrOpcoes library_options(const ReadRequest& request, const WeighOptions& options) {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = request.log;
    opcoes.pasta_log = request.log_folder.c_str();
    opcoes.intervalo_ms = request.gap_ms;
    opcoes.espera_estavel_ms = options.stable_ms;
    opcoes.leituras_iguais = options.equal_readings;
    opcoes.quadro = options.frame;
    return opcoes;
}

WsrLeitura read_once(const ReadRequest& request, const WeighOptions& options) {
    const WsrOpcoes opcoes = library_options(request, options);
    WsrLeitura reading{};
    reading.tamanho = sizeof reading;
    BuscaPesoEx(request.port.c_str(), request.baud.c_str(), &opcoes, &reading);
    return reading;
}

// The library's monitor, stopped on every way out.
class Following {
public:
    // The library copies what it needs of the options when it starts.
    Following(const ReadRequest& request, const WeighOptions& options) : options_(options) {
        const WsrOpcoes opcoes = library_options(request, options);
        monitor_ = WsrMonitorInicia(request.port.c_str(), request.baud.c_str(), &opcoes, &changed, this);
        if (monitor_ == nullptr) throw std::runtime_error("the monitor could not be started");
    }
    ~Following() { WsrMonitorEncerra(monitor_); }
    Following(const Following&) = delete;
    Following& operator=(const Following&) = delete;

private:
    // On the monitor's thread, one change at a time.
    static void WSR37100_CALL changed(const WsrLeitura* reading, void* context) {
        const auto* self = static_cast<const Following*>(context);
        show(*reading, self->options_, !self->options_.json);
    }

    const WeighOptions& options_;
    WsrMonitor* monitor_ = nullptr;
};

// Follows the scale and prints a line (or a JSON object) per change until an
// interrupt; the monitor stops within a moment, even in the middle of a read.
int watch(const ReadRequest& request, const WeighOptions& options) {
    common::Interrupts interrupts;
    try {
        Following following(request, options);
        while (interrupts.sleep_for(std::chrono::hours(1))) {
        }
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "wsr37100 weigh: %s\n", error.what());
        return common::kExitFailure;
    }
    std::fflush(nullptr);
    return common::kExitInterrupted;
}

}  // namespace

int weigh(const WeighOptions& options) {
    ReadRequest request;
    try {
        request = read_request(options);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "wsr37100 weigh: %s\n", error.what());
        return common::kExitFailure;
    }
    if (options.watch) return watch(request, options);
    const WsrLeitura reading = read_once(request, options);
    show(reading, options, false);
    return common::exit_status(reading);
}

WeighCommand::WeighCommand(CLI::App& app)
    : Command(app, "weigh",
              "One reading: prints the weight on stdout, or on stderr what came instead of one.\n"
              "Status letters: I unstable (in motion), N negative (below zero), S overload (above capacity).\n"
              "Example: wsr37100 weigh /dev/ttyUSB0 9600 --gap 20 --raw",
              "Exit status: 0 weight, 2 status or unreadable reply (with --stable: never settled), 3 no reading,\n"
              "4 failure (the log cannot be written), 64 usage error, 130 --watch ended by Ctrl-C, 1 any other\n"
              "error. Results go to stdout, messages to stderr.") {
    command().add_option("PORT", options_.port, "Serial port: COM1, ttyUSB0, /dev/ttyUSB0; or a serial device server:\n"
        "tcp://HOST:PORT (raw TCP), rfc2217://HOST:PORT (the module sets the baud rate)")->required();
    command().add_option("BAUD", options_.baud, "Baud rate")->check(kWholeNumber)->capture_default_str();
    command().add_option("--gap", options_.gap_ms,
        "Inter-byte gap in ms: a reply ends after this silence (0: wait for 8 bytes or 1 s)");
    auto* log_dir = command().add_option("--log-dir", options_.log_dir, common::default_log_help());
    command().add_flag("--no-log", options_.no_log, "Write no log")->excludes(log_dir);
    command().add_flag("--json", options_.json, "One JSON object per reading, with its time");
    command().add_flag("--raw", options_.raw, "Also print the reply's bytes in hex");
    auto* watch = command().add_flag("--watch", options_.watch,
        "Follow the scale until Ctrl-C: the port stays open, polls follow one another, and a\n"
        "line (each starting with its time) is printed whenever the reading changes");
    auto* stable = command().add_option("--stable", options_.stable_ms,
        "Wait up to MS for a stable weight (the scale answers I while it is in motion); on\n"
        "time-out the last answer stands and the exit status is 2")
        ->check(CLI::Range(1u, 3'600'000u))->excludes(watch);
    command().add_option("--equal", options_.equal_readings,
        "With --stable: equal consecutive weights needed before one is taken")
        ->check(CLI::Range(1u, 100u))->needs(stable);
    command().add_option("--frame", options_.frame,
        "The frame the scale sends, 7 or 8 bytes: a read ends as soon as it is in")
        ->check(CLI::IsMember({7u, 8u}));
}

}  // namespace Wsr37100::cli
