// C++ interface of wsr37100: the module's exception type and the weighing calls.
// The calls are thin inline wrappers over the C functions of wsr37100.h, so no
// C++ object or exception ever crosses the library's boundary; they raise in
// the caller's own code.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wsr37100.h"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {

enum class Tipo { Peso = WSR_PESO, Status = WSR_STATUS, SemLeitura = WSR_SEM_LEITURA, Falha = WSR_FALHA };

enum class Motivo {
    Nenhum = WSR_MOTIVO_NENHUM,
    PortaIndisponivel = WSR_MOTIVO_PORTA_INDISPONIVEL,
    ConsultaFalhou = WSR_MOTIVO_CONSULTA_FALHOU,
    Silencio = WSR_MOTIVO_SILENCIO,
    RespostasParciais = WSR_MOTIVO_RESPOSTAS_PARCIAIS,
};

enum class Causa {
    Nenhuma = WSR_CAUSA_NENHUMA,
    PortaInexistente = WSR_CAUSA_PORTA_INEXISTENTE,
    SemPermissao = WSR_CAUSA_SEM_PERMISSAO,
    PortaOcupada = WSR_CAUSA_PORTA_OCUPADA,
    ConfiguracaoRecusada = WSR_CAUSA_CONFIGURACAO_RECUSADA,
    NomeRecusado = WSR_CAUSA_NOME_RECUSADO,
    Outra = WSR_CAUSA_OUTRA,
    HostDesconhecido = WSR_CAUSA_HOST_DESCONHECIDO,
    ConexaoRecusada = WSR_CAUSA_CONEXAO_RECUSADA,
    ConexaoEsgotada = WSR_CAUSA_CONEXAO_ESGOTADA,
    ConexaoPerdida = WSR_CAUSA_CONEXAO_PERDIDA,
};

struct Opcoes {
    // Empty: the folder dados beside the host executable. Ignored with sem_log.
    std::string pasta_log;
    bool sem_log = false;
    // See WsrOpcoes.intervalo_ms.
    std::chrono::milliseconds intervalo{0};
    // See WsrOpcoes.espera_estavel_ms and leituras_iguais (BuscaPesoEx only).
    std::chrono::milliseconds espera_estavel{0};
    unsigned leituras_iguais = 0;
    // See WsrOpcoes.quadro: 0, 7 or 8.
    unsigned quadro = WSR_QUADRO_QUALQUER;
    // See WsrOpcoes.limite_log_mb: 0 is 64 MiB a day.
    unsigned limite_log_mb = 0;
};

struct Leitura {
    Tipo tipo = Tipo::SemLeitura;
    double peso = 0;                      // exactly what BuscaPeso returns: check tipo before taking it for a weight
    char letra = 0;                       // with Tipo::Status: 'I', 'N' or 'S'; 0 for an unreadable reply (LetraStatus)
    Motivo motivo = Motivo::Nenhum;
    int consultas = 0;
    std::vector<unsigned char> resposta;  // the last reply's bytes
    Causa causa = Causa::Nenhuma;         // with Motivo::PortaIndisponivel
    int erro_sistema = 0;
    std::string mensagem;                 // the device path and the reason, or a monitor's failure
    bool estavel = false;                 // with espera_estavel: the wait ended on a settled answer
    int numero = 0;                       // from a monitor: the change's number (see WsrLeitura.numero)
};

// The letter behind a WSR_STATUS record: 'I', 'N' or 'S'; 0 for an unreadable
// reply (neither a number nor a status letter: most often a wrong baud rate) and
// for any other kind. An unstable scale and an unreadable reply are both -1; the
// reply's bytes tell them apart as the decoders read them: in a 7-byte reply the
// second byte, in an 8-byte one the first byte above blank after the last STX
// (before its ETX), the text ending at the first zero byte. Thread safe.
inline char LetraStatus(const WsrLeitura& leitura) {
    constexpr unsigned char stx = 0x02, etx = 0x03, blank = 0x20;
    if (leitura.tipo != WSR_STATUS) return 0;
    if (leitura.peso == -2) return 'N';
    if (leitura.peso == -10) return 'S';
    const unsigned char* bytes = leitura.resposta;
    const int count = leitura.bytes_resposta;
    int length = 0;
    while (length < count && length < static_cast<int>(sizeof leitura.resposta) && bytes[length] != 0) ++length;
    if (count == 7) return length > 1 && bytes[1] == 'I' ? 'I' : 0;
    if (count != 8) return 0;
    int at = 0;
    for (int i = 0; i < length; ++i) {
        if (bytes[i] == stx) at = i + 1;
    }
    for (; at < length && bytes[at] != etx; ++at) {
        if (bytes[at] > blank) return bytes[at] == 'I' ? 'I' : 0;
    }
    return 0;
}

namespace detail {
// The C options for these; pasta_log points into opcoes.
inline WsrOpcoes c_options(const Opcoes& opcoes) {
    WsrOpcoes c_opcoes{};
    c_opcoes.tamanho = sizeof c_opcoes;
    c_opcoes.log = opcoes.sem_log ? WSR_LOG_NENHUM : (opcoes.pasta_log.empty() ? WSR_LOG_PADRAO : WSR_LOG_PASTA);
    c_opcoes.pasta_log = opcoes.pasta_log.c_str();
    c_opcoes.intervalo_ms = static_cast<uint32_t>(opcoes.intervalo.count());
    c_opcoes.espera_estavel_ms = static_cast<uint32_t>(opcoes.espera_estavel.count());
    c_opcoes.leituras_iguais = opcoes.leituras_iguais;
    c_opcoes.quadro = opcoes.quadro;
    c_opcoes.limite_log_mb = opcoes.limite_log_mb;
    return c_opcoes;
}

inline Leitura from_c(const WsrLeitura& c_leitura) {
    Leitura leitura;
    leitura.tipo = static_cast<Tipo>(c_leitura.tipo);
    leitura.peso = c_leitura.peso;
    leitura.letra = LetraStatus(c_leitura);
    leitura.motivo = static_cast<Motivo>(c_leitura.motivo);
    leitura.consultas = c_leitura.consultas;
    leitura.resposta.assign(c_leitura.resposta, c_leitura.resposta + c_leitura.bytes_resposta);
    leitura.causa = static_cast<Causa>(c_leitura.causa);
    leitura.erro_sistema = c_leitura.erro_sistema;
    leitura.mensagem = c_leitura.mensagem;
    leitura.estavel = c_leitura.estavel != 0;
    leitura.numero = c_leitura.numero;
    return leitura;
}
}  // namespace detail

// The library loaded, "6.49.9".
inline std::string Versao() { return ::WsrVersao(); }

// One reading with options. Throws Falha for a raised failure (log not
// writable, baud text not a whole number). Thread safe.
inline Leitura BuscaPesoEx(std::string_view sPorta, std::string_view sVelocidade, const Opcoes& opcoes = {}) {
    const std::string porta(sPorta);
    const std::string velocidade(sVelocidade);
    const WsrOpcoes c_opcoes = detail::c_options(opcoes);
    WsrLeitura c_leitura{};
    c_leitura.tamanho = sizeof c_leitura;
    const int32_t tipo = ::BuscaPesoEx(porta.c_str(), velocidade.c_str(), &c_opcoes, &c_leitura);
    if (tipo == WSR_FALHA) throw Falha(c_leitura.mensagem);
    if (tipo != c_leitura.tipo || tipo < WSR_PESO || tipo > WSR_SEM_LEITURA) {
        throw Falha("BuscaPesoEx recusou a chamada (" + std::to_string(tipo) + ")");
    }
    return detail::from_c(c_leitura);
}

// The weight result of one reading, as the C BuscaPeso, except that a raised
// failure is thrown as Falha instead of coming back as NaN. Like the C call it
// returns 0 for no reading and -1/-2/-10 for a status: a host that charges the
// weight wants Peso below.
inline double BuscaPeso(std::string_view sPorta, std::string_view sVelocidade) {
    return BuscaPesoEx(sPorta, sVelocidade).peso;
}

// Thrown by Peso when the scale gave no weight: a status ("sem peso: status I"),
// an unreadable reply (which says to check the baud rate) or no reading.
class SemPeso : public Falha {
public:
    explicit SemPeso(Leitura leitura) : Falha(texto(leitura)), leitura_(std::move(leitura)) {}
    const Leitura& leitura() const { return leitura_; }

private:
    static std::string texto(const Leitura& leitura) {
        if (leitura.tipo == Tipo::Status && leitura.letra != 0) return std::string("sem peso: status ") + leitura.letra;
        if (leitura.tipo == Tipo::Status) return "sem peso: resposta ileg\xEDvel, confira a velocidade (baud)";
        return "sem peso: sem leitura" + (leitura.mensagem.empty() ? std::string() : ": " + leitura.mensagem);
    }

    Leitura leitura_;
};

// The weight in kilograms, and only ever a weight (0 is an empty platter):
// throws SemPeso for a status or no reading, Falha for a raised failure.
inline double Peso(std::string_view sPorta, std::string_view sVelocidade, const Opcoes& opcoes = {}) {
    Leitura leitura = BuscaPesoEx(sPorta, sVelocidade, opcoes);
    if (leitura.tipo != Tipo::Peso) throw SemPeso(std::move(leitura));
    return leitura.peso;
}

// The lines the day's log of these options has dropped so far today past its
// bound (0 while under it). Throws Falha, with the reason, when the day's file
// cannot be read.
inline std::uint64_t LinhasDescartadas(const Opcoes& opcoes = {}) {
    const WsrOpcoes c_opcoes = detail::c_options(opcoes);
    uint64_t linhas = 0;
    char mensagem[WSR_MENSAGEM_MAX] = {};
    const int32_t result = ::WsrLogDescartadas(&c_opcoes, &linhas, mensagem, sizeof mensagem);
    if (result == 1) throw Falha(mensagem);
    if (result != 0) throw Falha("WsrLogDescartadas recusou a chamada (" + std::to_string(result) + ")");
    return linhas;
}

// Does nothing and returns true.
inline bool StartBalanca(std::string_view sPorta, std::string_view sVelocidade) {
    const std::string porta(sPorta);
    const std::string velocidade(sVelocidade);
    return ::StartBalanca(porta.c_str(), velocidade.c_str());
}

enum class Resultado {
    Encontrada = WSR_DETECCAO_ENCONTRADA,
    NaoEncontrada = WSR_DETECCAO_NAO_ENCONTRADA,
    PortaIndisponivel = WSR_DETECCAO_PORTA_INDISPONIVEL,
    SemVelocidade = WSR_DETECCAO_SEM_VELOCIDADE,
    TempoEsgotado = WSR_DETECCAO_TEMPO_ESGOTADO,
};

// What the last rate tried gave (see WSR_LINHA_*).
enum class Linha {
    NaoTestada = WSR_LINHA_NAO_TESTADA,
    Quadro = WSR_LINHA_QUADRO,
    Lixo = WSR_LINHA_LIXO,
    Silencio = WSR_LINHA_SILENCIO,
    VelocidadeRecusada = WSR_LINHA_VELOCIDADE_RECUSADA,
    Falhou = WSR_LINHA_FALHOU,
    SemResposta = WSR_LINHA_SEM_RESPOSTA,
};

// What Detecta found on a port.
struct Deteccao {
    Resultado resultado = Resultado::NaoEncontrada;
    int velocidade = 0;                   // with Encontrada: the baud rate
    unsigned quadro = 0;                  // with Encontrada: 7 or 8 (Opcoes::quadro takes it as it is)
    Tipo tipo = Tipo::SemLeitura;         // with Encontrada: Tipo::Peso or Tipo::Status
    double peso = 0;                      // with Encontrada: what BuscaPeso would return
    std::vector<unsigned char> resposta;  // with Encontrada: the last frame
    Causa causa = Causa::Nenhuma;         // with PortaIndisponivel
    int erro_sistema = 0;
    int velocidades_testadas = 0;
    std::string mensagem;                 // what was found, or what each rate gave
    Linha veredito = Linha::NaoTestada;   // what the last rate tried gave
    int bytes_lidos = 0;                  // the bytes that rate's deciding poll received
    explicit operator bool() const { return resultado == Resultado::Encontrada; }
};

// Finds the scale on a port (see WsrDetecta): each rate of the list in turn
// (empty: 2400,4800,9600,19200), within the budget. Throws Falha when the
// arguments are refused (a rate list that is not numbers). Thread safe: one
// thread per port searches them all at once.
inline Deteccao Detecta(std::string_view sPorta, std::string_view sVelocidades = {},
                        std::chrono::milliseconds limite = std::chrono::milliseconds(3000)) {
    const std::string porta(sPorta);
    const std::string velocidades(sVelocidades);
    WsrDeteccao c_deteccao{};
    c_deteccao.tamanho = sizeof c_deteccao;
    const int32_t resultado = ::WsrDetecta(porta.c_str(), velocidades.c_str(),
                                           static_cast<uint32_t>(limite.count() > 0 ? limite.count() : 1), &c_deteccao);
    if (resultado == WSR_DETECCAO_RECUSADA || resultado < 0) throw Falha(c_deteccao.mensagem);
    Deteccao deteccao;
    deteccao.resultado = static_cast<Resultado>(resultado);
    deteccao.velocidade = c_deteccao.velocidade;
    deteccao.quadro = static_cast<unsigned>(c_deteccao.quadro);
    deteccao.tipo = static_cast<Tipo>(c_deteccao.tipo);
    deteccao.peso = c_deteccao.peso;
    if (c_deteccao.quadro > 0) deteccao.resposta.assign(c_deteccao.resposta, c_deteccao.resposta + c_deteccao.quadro);
    deteccao.causa = static_cast<Causa>(c_deteccao.causa);
    deteccao.erro_sistema = c_deteccao.erro_sistema;
    deteccao.velocidades_testadas = c_deteccao.velocidades_testadas;
    deteccao.mensagem = c_deteccao.mensagem;
    deteccao.veredito = static_cast<Linha>(c_deteccao.veredito);
    deteccao.bytes_lidos = c_deteccao.bytes_lidos;
    return deteccao;
}

// Follows the scale on a port (see WsrMonitorInicia) for as long as it lives;
// its destructor stops it. The callback runs on the monitor's thread with
// each change; it may call Encerra, but must not destroy the Monitor.
class Monitor {
public:
    using AoMudar = std::function<void(const Leitura&)>;

    // Throws Falha when the options are invalid or no thread could be started.
    Monitor(std::string_view sPorta, std::string_view sVelocidade, const Opcoes& opcoes = {}, AoMudar ao_mudar = {})
        : ao_mudar_(std::make_unique<AoMudar>(std::move(ao_mudar))) {
        const std::string porta(sPorta);
        const std::string velocidade(sVelocidade);
        const WsrOpcoes c_opcoes = detail::c_options(opcoes);
        handle_ = ::WsrMonitorInicia(porta.c_str(), velocidade.c_str(), &c_opcoes, *ao_mudar_ ? &chamar : nullptr,
                                     ao_mudar_.get());
        if (handle_ == nullptr) throw Falha("N\xE3o foi poss\xEDvel iniciar o monitor de " + porta);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor() { Encerra(); }

    // The latest reading, or none yet. Never waits for the port.
    std::optional<Leitura> Ultima() const {
        WsrLeitura c_leitura{};
        c_leitura.tamanho = sizeof c_leitura;
        if (handle_ == nullptr || ::WsrMonitorUltima(handle_, &c_leitura) <= 0) return std::nullopt;
        return detail::from_c(c_leitura);
    }

    // Why the last log line could not be written, or none while lines are written.
    std::optional<std::string> FalhaLog() const {
        char mensagem[WSR_MENSAGEM_MAX] = {};
        if (handle_ == nullptr || ::WsrMonitorFalhaLog(handle_, mensagem, sizeof mensagem) != 1) return std::nullopt;
        return std::string(mensagem);
    }

    // Stops now; no callback runs after it returns (when called from the
    // callback: after the callback returns).
    void Encerra() {
        WsrMonitor* handle = handle_;
        handle_ = nullptr;
        ::WsrMonitorEncerra(handle);
    }

private:
    static void WSR37100_CALL chamar(const WsrLeitura* leitura, void* contexto) noexcept {
        try {
            (*static_cast<AoMudar*>(contexto))(detail::from_c(*leitura));
        } catch (...) {
            // Nothing may unwind into the library's thread.
        }
    }

    std::unique_ptr<AoMudar> ao_mudar_;
    WsrMonitor* handle_ = nullptr;
};

}  // namespace Wsr37100
