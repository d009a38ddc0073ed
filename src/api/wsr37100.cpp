// The library's C boundary: BuscaPeso, StartBalanca and BuscaPesoEx. No exception leaves it.
#include "wsr37100.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "detection/detection.hpp"
#include "monitor/monitor.hpp"
#include "weighing/weight_query.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {
namespace {

// Object Pascal hosts pass an empty string as nil.
std::string_view text(const char* value) { return value != nullptr ? std::string_view(value) : std::string_view(); }

// A value no reading produces. Only loaded, never computed with or compared,
// so a host that unmasked floating-point traps gets no trap from it.
constexpr double kFailure = std::numeric_limits<double>::quiet_NaN();

DailyLog log_in(const WsrOpcoes& opcoes) {
    switch (opcoes.log) {
        case WSR_LOG_PADRAO: return DailyLog::beside_host();
        case WSR_LOG_NENHUM: return DailyLog::disabled();
        case WSR_LOG_PASTA:
            if (opcoes.pasta_log == nullptr || opcoes.pasta_log[0] == '\0') {
                throw Falha("Op\xE7\xF5" "es inv\xE1lidas: WSR_LOG_PASTA sem pasta_log");
            }
            return DailyLog::in_folder(opcoes.pasta_log);
        default: throw Falha("Op\xE7\xF5" "es inv\xE1lidas: log = " + std::to_string(opcoes.log));
    }
}

DailyLog log_for(const WsrOpcoes& opcoes) {
    const DailyLog log = log_in(opcoes);
    if (opcoes.limite_log_mb == 0) return log;
    return log.with_day_limit(std::uint64_t{opcoes.limite_log_mb} << 20);
}

static_assert(sizeof(WsrDeteccao) == 568, "WsrDeteccao has one layout on every platform");
static_assert(std::string_view(WSR37100_VERSION_STRING) == WSR37100_PROJECT_VERSION,
              "the header's version macros and the build's version differ");

// How many leading bytes of a record of `size` bytes hold whole fields, given
// the end offset of each field in order. A field cut by `size` is not counted.
template <std::size_t N>
constexpr std::size_t whole_fields(std::size_t size, const std::size_t (&field_ends)[N]) {
    std::size_t reach = 0;
    for (std::size_t end : field_ends) {
        if (end <= size) reach = end;
    }
    return reach;
}

#define WSR_FIELD_END(type, field) (offsetof(type, field) + sizeof(type::field))

constexpr std::size_t kOptionEnds[] = {
    WSR_FIELD_END(WsrOpcoes, tamanho), WSR_FIELD_END(WsrOpcoes, log), WSR_FIELD_END(WsrOpcoes, pasta_log),
    WSR_FIELD_END(WsrOpcoes, intervalo_ms), WSR_FIELD_END(WsrOpcoes, espera_estavel_ms),
    WSR_FIELD_END(WsrOpcoes, leituras_iguais), WSR_FIELD_END(WsrOpcoes, quadro),
    WSR_FIELD_END(WsrOpcoes, limite_log_mb)};
constexpr std::size_t kReadingEnds[] = {
    WSR_FIELD_END(WsrLeitura, tamanho),        WSR_FIELD_END(WsrLeitura, tipo),
    WSR_FIELD_END(WsrLeitura, peso),           WSR_FIELD_END(WsrLeitura, motivo),
    WSR_FIELD_END(WsrLeitura, consultas),      WSR_FIELD_END(WsrLeitura, bytes_resposta),
    WSR_FIELD_END(WsrLeitura, resposta),       WSR_FIELD_END(WsrLeitura, mensagem),
    WSR_FIELD_END(WsrLeitura, causa),          WSR_FIELD_END(WsrLeitura, erro_sistema),
    WSR_FIELD_END(WsrLeitura, estavel),        WSR_FIELD_END(WsrLeitura, numero)};
// The shortest record a caller may pass: everything up to mensagem.
constexpr std::size_t kShortestReading = WSR_FIELD_END(WsrLeitura, mensagem);
constexpr std::size_t kDetectionEnds[] = {
    WSR_FIELD_END(WsrDeteccao, tamanho),    WSR_FIELD_END(WsrDeteccao, resultado),
    WSR_FIELD_END(WsrDeteccao, velocidade), WSR_FIELD_END(WsrDeteccao, quadro),
    WSR_FIELD_END(WsrDeteccao, tipo),       WSR_FIELD_END(WsrDeteccao, causa),
    WSR_FIELD_END(WsrDeteccao, peso),       WSR_FIELD_END(WsrDeteccao, erro_sistema),
    WSR_FIELD_END(WsrDeteccao, velocidades_testadas), WSR_FIELD_END(WsrDeteccao, resposta),
    WSR_FIELD_END(WsrDeteccao, mensagem),   WSR_FIELD_END(WsrDeteccao, veredito),
    WSR_FIELD_END(WsrDeteccao, bytes_lidos)};
// The shortest detection record a caller may pass: everything up to mensagem, 560 bytes.
constexpr std::size_t kShortestDetection = WSR_FIELD_END(WsrDeteccao, mensagem);
static_assert(kShortestDetection == 560, "a record declared against an older header ends with mensagem");

// The caller's options, as far as whole fields of its record reach; defaults beyond.
WsrOpcoes options_from(const WsrOpcoes* given) {
    WsrOpcoes options{};
    if (given != nullptr) std::memcpy(&options, given, whole_fields(given->tamanho, kOptionEnds));
    options.tamanho = sizeof options;
    return options;
}

// The message, cut to `room` bytes with its NUL.
LinkOptions link_for(const WsrOpcoes& options) {
    if (options.quadro != WSR_QUADRO_QUALQUER && options.quadro != WSR_QUADRO_7 && options.quadro != WSR_QUADRO_8) {
        throw Falha("Op\xE7\xF5" "es inv\xE1lidas: quadro = " + std::to_string(options.quadro));
    }
    LinkOptions link;
    link.gap = std::chrono::milliseconds(options.intervalo_ms);
    link.frame_size = options.quadro;
    return link;
}

void copy_message(char* mensagem, std::size_t room, std::string_view message) {
    if (room == 0) return;
    const std::size_t length = std::min(message.size(), room - 1);
    std::memcpy(mensagem, message.data(), length);
    mensagem[length] = '\0';
}

int32_t kind_of(Outcome outcome) {
    switch (outcome) {
        case Outcome::Weight: return WSR_PESO;
        case Outcome::Status: return WSR_STATUS;
        case Outcome::NoReading: return WSR_SEM_LEITURA;
        case Outcome::Failure: break;
    }
    return WSR_FALHA;
}

int32_t cause_of(PortProblem problem) {
    switch (problem) {
        case PortProblem::Missing: return WSR_CAUSA_PORTA_INEXISTENTE;
        case PortProblem::Permission: return WSR_CAUSA_SEM_PERMISSAO;
        case PortProblem::Busy: return WSR_CAUSA_PORTA_OCUPADA;
        case PortProblem::SettingsRefused:
        case PortProblem::NegotiationUnanswered: return WSR_CAUSA_CONFIGURACAO_RECUSADA;
        case PortProblem::NameRefused: return WSR_CAUSA_NOME_RECUSADO;
        case PortProblem::HostNotFound: return WSR_CAUSA_HOST_DESCONHECIDO;
        case PortProblem::ConnectionRefused: return WSR_CAUSA_CONEXAO_RECUSADA;
        case PortProblem::ConnectTimedOut: return WSR_CAUSA_CONEXAO_ESGOTADA;
        case PortProblem::ConnectionDropped: return WSR_CAUSA_CONEXAO_PERDIDA;
        case PortProblem::Other: break;
    }
    return WSR_CAUSA_OUTRA;
}

int32_t reason_of(NoReadingReason reason) {
    switch (reason) {
        case NoReadingReason::None: return WSR_MOTIVO_NENHUM;
        case NoReadingReason::PortUnavailable: return WSR_MOTIVO_PORTA_INDISPONIVEL;
        case NoReadingReason::PollFailed: return WSR_MOTIVO_CONSULTA_FALHOU;
        case NoReadingReason::Silence: return WSR_MOTIVO_SILENCIO;
        case NoReadingReason::PartialReplies: return WSR_MOTIVO_RESPOSTAS_PARCIAIS;
    }
    return WSR_MOTIVO_NENHUM;
}

void fill(WsrLeitura& leitura, const QueryReport& report) {
    leitura.tipo = kind_of(report.outcome);
    leitura.peso = report.weight;
    leitura.motivo = report.outcome == Outcome::NoReading ? reason_of(report.reason) : WSR_MOTIVO_NENHUM;
    leitura.consultas = report.polls;
    leitura.bytes_resposta = static_cast<int32_t>(report.reply_size);
    std::memcpy(leitura.resposta, report.reply.data(), report.reply_size);
    leitura.estavel = report.settled ? 1 : 0;
    const bool told = report.reason == NoReadingReason::PortUnavailable ||
                      (report.reason == NoReadingReason::PollFailed && !report.port_failure.message.empty());
    if (report.outcome == Outcome::NoReading && told) {
        leitura.causa = cause_of(report.port_failure.problem);
        leitura.erro_sistema = static_cast<int32_t>(report.port_failure.system_error);
        copy_message(leitura.mensagem, sizeof leitura.mensagem, report.port_failure.message);
    }
}

// What the query got as far as it went, the failure's message, and NaN.
void fill_failure(WsrLeitura& leitura, QueryReport report, std::string_view message) {
    report.outcome = Outcome::Failure;
    fill(leitura, report);
    leitura.peso = kFailure;
    copy_message(leitura.mensagem, sizeof leitura.mensagem, message);
}

// A monitor's reading as the C record, full size.
WsrLeitura to_reading(const MonitorReading& reading) {
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;
    if (reading.report.outcome == Outcome::Failure) {
        fill_failure(leitura, reading.report, reading.failure);
    } else {
        fill(leitura, reading.report);
    }
    leitura.numero = static_cast<int32_t>(reading.number & 0x7FFFFFFF);
    return leitura;
}

// A record too short to take a reading: tipo, peso and as much of the reason
// as lie inside it.
int32_t refuse(WsrLeitura* leitura, std::size_t size) {
    const auto inside = [size](std::size_t end) { return end <= size; };
    auto* bytes = reinterpret_cast<unsigned char*>(leitura);
    if (inside(WSR_FIELD_END(WsrLeitura, tipo))) {
        const int32_t tipo = WSR_FALHA;
        std::memcpy(bytes + offsetof(WsrLeitura, tipo), &tipo, sizeof tipo);
    }
    if (inside(WSR_FIELD_END(WsrLeitura, peso))) {
        std::memcpy(bytes + offsetof(WsrLeitura, peso), &kFailure, sizeof kFailure);
    }
    if (size > offsetof(WsrLeitura, mensagem)) {
        copy_message(reinterpret_cast<char*>(bytes + offsetof(WsrLeitura, mensagem)),
                     size - offsetof(WsrLeitura, mensagem),
                     "WsrLeitura.tamanho = " + std::to_string(size) + ": o registro deve ter ao menos " +
                         std::to_string(kShortestReading) + " bytes");
    }
    return WSR_FALHA;
}

int32_t detection_result(DetectionResult result) {
    switch (result) {
        case DetectionResult::Found: return WSR_DETECCAO_ENCONTRADA;
        case DetectionResult::NotFound: return WSR_DETECCAO_NAO_ENCONTRADA;
        case DetectionResult::PortUnavailable: return WSR_DETECCAO_PORTA_INDISPONIVEL;
        case DetectionResult::NoRateToSet: return WSR_DETECCAO_SEM_VELOCIDADE;
        case DetectionResult::TimedOut: break;
    }
    return WSR_DETECCAO_TEMPO_ESGOTADO;
}

int32_t line_verdict(LineVerdict verdict) {
    switch (verdict) {
        case LineVerdict::Frame: return WSR_LINHA_QUADRO;
        case LineVerdict::Garbage: return WSR_LINHA_LIXO;
        case LineVerdict::Silence: return WSR_LINHA_SILENCIO;
        case LineVerdict::RateRefused: return WSR_LINHA_VELOCIDADE_RECUSADA;
        case LineVerdict::Unanswered: return WSR_LINHA_SEM_RESPOSTA;
        case LineVerdict::Failed: break;
    }
    return WSR_LINHA_FALHOU;
}

void fill(WsrDeteccao& deteccao, const Detection& found) {
    deteccao.resultado = detection_result(found.result);
    // A rate tried again (a late reply heard after it) is one rate tried.
    std::vector<std::int32_t> tried;
    for (const RateTrial& trial : found.trials) {
        if (std::find(tried.begin(), tried.end(), trial.rate) == tried.end()) tried.push_back(trial.rate);
    }
    deteccao.velocidades_testadas = static_cast<int32_t>(tried.size());
    deteccao.veredito = WSR_LINHA_NAO_TESTADA;
    if (!found.trials.empty()) {
        deteccao.veredito = line_verdict(found.trials.back().verdict);
        deteccao.bytes_lidos = static_cast<int32_t>(found.trials.back().bytes);
    }
    deteccao.tipo = WSR_SEM_LEITURA;
    if (found.result == DetectionResult::Found) {
        deteccao.velocidade = found.rate;
        deteccao.quadro = static_cast<int32_t>(found.frame);
        deteccao.tipo = found.said.status ? WSR_STATUS : WSR_PESO;
        deteccao.peso = found.said.weight;
        std::memcpy(deteccao.resposta, found.reply.data(), found.frame);
    }
    if (found.result == DetectionResult::PortUnavailable) {
        deteccao.causa = cause_of(found.port_failure.problem);
        deteccao.erro_sistema = static_cast<int32_t>(found.port_failure.system_error);
    }
    copy_message(deteccao.mensagem, sizeof deteccao.mensagem, found.message);
}

}  // namespace
}  // namespace Wsr37100

extern "C" WSR37100_API double WSR37100_CALL BuscaPeso(const char* sPorta, const char* sVelocidade) {
    using namespace Wsr37100;
    try {
        QueryReport report;
        return weight_query(text(sPorta), text(sVelocidade), DailyLog::beside_host(), LinkOptions{}, report);
    } catch (...) {
        return kFailure;
    }
}

extern "C" WSR37100_API bool WSR37100_CALL StartBalanca(const char* /*sPorta*/, const char* /*sVelocidade*/) {
    return true;
}

extern "C" WSR37100_API int32_t WSR37100_CALL BuscaPesoEx(const char* sPorta, const char* sVelocidade,
                                                          const WsrOpcoes* opcoes, WsrLeitura* leitura) {
    using namespace Wsr37100;
    if (leitura == nullptr) return -1;
    const uint32_t size = leitura->tamanho;
    if (size < kShortestReading) return refuse(leitura, size);
    // Filled whole here, handed out as far as the caller's record reaches.
    WsrLeitura full{};
    full.tamanho = size;
    QueryReport report;
    try {
        const WsrOpcoes options = options_from(opcoes);
        const StableWait wait{std::chrono::milliseconds(options.espera_estavel_ms), options.leituras_iguais};
        weight_query(text(sPorta), text(sVelocidade), log_for(options), link_for(options), report, wait);
        fill(full, report);
    } catch (const std::exception& failure) {
        fill_failure(full, report, failure.what());
    } catch (...) {
        fill_failure(full, report, "falha desconhecida");
    }
    std::memcpy(leitura, &full, whole_fields(size, kReadingEnds));
    return full.tipo;
}

extern "C" WSR37100_API const char* WSR37100_CALL WsrVersao(void) { return WSR37100_VERSION_STRING; }

// The C handle is the monitor itself, behind an opaque type.
namespace Wsr37100 {
namespace {
ScaleMonitor* monitor_of(WsrMonitor* handle) { return reinterpret_cast<ScaleMonitor*>(handle); }
}  // namespace
}  // namespace Wsr37100

extern "C" WSR37100_API WsrMonitor* WSR37100_CALL WsrMonitorInicia(const char* sPorta, const char* sVelocidade,
                                                                   const WsrOpcoes* opcoes, WsrAoMudar ao_mudar,
                                                                   void* contexto) {
    using namespace Wsr37100;
    try {
        const WsrOpcoes options = options_from(opcoes);
        MonitorSettings settings{std::string(text(sPorta)), std::string(text(sVelocidade)), link_for(options),
                                 log_for(options)};
        // A null contexto gives the callback the monitor itself: its first call may
        // come before the host has the handle this returns.
        auto started = std::make_shared<std::atomic<WsrMonitor*>>(nullptr);
        MonitorListener listener;
        if (ao_mudar != nullptr) {
            listener = [ao_mudar, contexto, started](const MonitorReading& reading) {
                WsrLeitura leitura = to_reading(reading);
                started->wait(nullptr);  // set at once after the monitor is made
                ao_mudar(&leitura, contexto != nullptr ? contexto : static_cast<void*>(started->load()));
            };
        }
        auto* monitor = reinterpret_cast<WsrMonitor*>(new ScaleMonitor(std::move(settings), std::move(listener)));
        started->store(monitor);
        started->notify_all();
        return monitor;
    } catch (...) {
        return nullptr;
    }
}

extern "C" WSR37100_API int32_t WSR37100_CALL WsrMonitorUltima(WsrMonitor* monitor, WsrLeitura* leitura) {
    using namespace Wsr37100;
    if (monitor == nullptr || leitura == nullptr) return -1;
    const uint32_t size = leitura->tamanho;
    if (size < kShortestReading) {
        refuse(leitura, size);
        return -1;
    }
    try {
        MonitorReading reading;
        const std::uint64_t number = monitor_of(monitor)->latest(reading);
        if (number == 0) return 0;
        WsrLeitura full = to_reading(reading);
        full.tamanho = size;
        std::memcpy(leitura, &full, whole_fields(size, kReadingEnds));
        return static_cast<int32_t>(number & 0x7FFFFFFF);
    } catch (...) {
        return -1;
    }
}

extern "C" WSR37100_API int32_t WSR37100_CALL WsrMonitorFalhaLog(WsrMonitor* monitor, char* mensagem, uint32_t tamanho) {
    using namespace Wsr37100;
    if (monitor == nullptr || mensagem == nullptr) return -1;
    try {
        const auto failure = monitor_of(monitor)->log_failure();
        copy_message(mensagem, tamanho, failure ? *failure : std::string());
        return failure ? 1 : 0;
    } catch (...) {
        return -1;
    }
}

extern "C" WSR37100_API int32_t WSR37100_CALL WsrLogDescartadas(const WsrOpcoes* opcoes, uint64_t* linhas,
                                                                char* mensagem, uint32_t tamanho) {
    using namespace Wsr37100;
    if (mensagem != nullptr) copy_message(mensagem, tamanho, "");
    if (linhas == nullptr) return -1;
    *linhas = 0;
    // Refused options are the caller's mistake (-1); the default log's folder not found is the log's (1).
    WsrOpcoes options{};
    std::optional<DailyLog> log;
    try {
        options = options_from(opcoes);
        if (options.log != WSR_LOG_PADRAO) log = log_in(options);
    } catch (...) {
        return -1;
    }
    try {
        if (!log) log = log_in(options);
        *linhas = log->dropped_today();
        return 0;
    } catch (const std::exception& failure) {
        if (mensagem != nullptr) copy_message(mensagem, tamanho, failure.what());
    } catch (...) {
        if (mensagem != nullptr) copy_message(mensagem, tamanho, "falha desconhecida");
    }
    return 1;
}

extern "C" WSR37100_API void WSR37100_CALL WsrMonitorEncerra(WsrMonitor* monitor) {
    Wsr37100::ScaleMonitor::dispose(Wsr37100::monitor_of(monitor));
}

extern "C" WSR37100_API int32_t WSR37100_CALL WsrDetecta(const char* sPorta, const char* sVelocidades,
                                                         uint32_t limite_ms, WsrDeteccao* deteccao) {
    using namespace Wsr37100;
    if (deteccao == nullptr) return -1;
    const uint32_t size = deteccao->tamanho;
    if (size < kShortestDetection) {
        if (size >= WSR_FIELD_END(WsrDeteccao, resultado)) deteccao->resultado = WSR_DETECCAO_RECUSADA;
        return WSR_DETECCAO_RECUSADA;
    }
    WsrDeteccao full{};
    full.tamanho = size;
    try {
        const auto rates = detection_rates(text(sVelocidades));
        const auto budget = limite_ms == 0 ? kDefaultDetectionBudget : std::chrono::milliseconds(limite_ms);
        fill(full, detect_scale(text(sPorta), rates, budget));
    } catch (const std::exception& failure) {
        full.resultado = WSR_DETECCAO_RECUSADA;
        full.tipo = WSR_SEM_LEITURA;
        copy_message(full.mensagem, sizeof full.mensagem, failure.what());
    } catch (...) {
        full.resultado = WSR_DETECCAO_RECUSADA;
        full.tipo = WSR_SEM_LEITURA;
    }
    // Filled whole here, handed out as far as the caller's record reaches.
    std::memcpy(deteccao, &full, whole_fields(size, kDetectionEnds));
    return full.resultado;
}
