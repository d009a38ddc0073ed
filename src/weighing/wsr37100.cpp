// The library's C boundary: BuscaPeso, StartBalanca and BuscaPesoEx. No exception leaves it.
#include "wsr37100.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <string_view>

#include "weighing/weight_query.hpp"
#include "wsr37100.hpp"

namespace Wsr37100 {
namespace {

// Object Pascal hosts pass an empty string as nil.
std::string_view text(const char* value) { return value != nullptr ? std::string_view(value) : std::string_view(); }

// A value no reading produces. Only loaded, never computed with or compared,
// so a host that unmasked floating-point traps gets no trap from it.
constexpr double kFailure = std::numeric_limits<double>::quiet_NaN();

DailyLog log_for(const WsrOpcoes& opcoes) {
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

// The caller's options, as far as its struct reaches; defaults beyond.
WsrOpcoes options_from(const WsrOpcoes* given) {
    WsrOpcoes options{};
    options.tamanho = sizeof options;
    if (given != nullptr) {
        const std::size_t known = std::min<std::size_t>(given->tamanho, sizeof options);
        std::memcpy(&options, given, known);
        options.tamanho = sizeof options;
    }
    return options;
}

void copy_message(WsrLeitura& leitura, std::string_view message) {
    const std::size_t length = std::min(message.size(), sizeof leitura.mensagem - 1);
    std::memcpy(leitura.mensagem, message.data(), length);
    leitura.mensagem[length] = '\0';
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
}

// What the query got as far as it went, the failure's message, and NaN.
void fill_failure(WsrLeitura& leitura, QueryReport report, std::string_view message) {
    report.outcome = Outcome::Failure;
    fill(leitura, report);
    leitura.peso = kFailure;
    copy_message(leitura, message);
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
    if (leitura == nullptr || leitura->tamanho < sizeof(WsrLeitura)) return -1;
    const uint32_t size = leitura->tamanho;
    *leitura = WsrLeitura{};
    leitura->tamanho = size;
    QueryReport report;
    try {
        const WsrOpcoes options = options_from(opcoes);
        const LinkOptions link{std::chrono::milliseconds(options.intervalo_ms)};
        weight_query(text(sPorta), text(sVelocidade), log_for(options), link, report);
        fill(*leitura, report);
    } catch (const std::exception& failure) {
        fill_failure(*leitura, report, failure.what());
    } catch (...) {
        fill_failure(*leitura, report, "falha desconhecida");
    }
    return leitura->tipo;
}
