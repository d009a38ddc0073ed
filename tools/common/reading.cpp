// Text and JSON forms of a reading, for the command-line tool and the HTTP API.
#include "common/reading.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "wsr37100.hpp"

namespace Wsr37100::common {

namespace {

// Locale-independent, so a user's decimal comma never reaches a script.
std::string three_decimals(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3).ptr;
    return std::string(text, end);
}

const char* kind_name(int32_t tipo) {
    switch (tipo) {
        case WSR_PESO: return "weight";
        case WSR_STATUS: return "status";
        case WSR_SEM_LEITURA: return "no-reading";
        default: return "failure";
    }
}

const char* reason_key(int32_t motivo) {
    switch (motivo) {
        case WSR_MOTIVO_PORTA_INDISPONIVEL: return "port-unavailable";
        case WSR_MOTIVO_CONSULTA_FALHOU: return "poll-failed";
        case WSR_MOTIVO_SILENCIO: return "silence";
        case WSR_MOTIVO_RESPOSTAS_PARCIAIS: return "partial-replies";
        default: return "other";
    }
}

const char* reason_text(int32_t motivo) {
    switch (motivo) {
        case WSR_MOTIVO_PORTA_INDISPONIVEL: return "port unavailable";
        case WSR_MOTIVO_CONSULTA_FALHOU: return "the poll failed, the port hung up or the cable was unplugged";
        case WSR_MOTIVO_SILENCIO: return "silence, the scale sent nothing within 1000 ms";
        case WSR_MOTIVO_RESPOSTAS_PARCIAIS: return "five partial replies of 1 to 6 bytes";
        default: return "unknown reason";
    }
}

const char* cause_key(int32_t causa) {
    switch (causa) {
        case WSR_CAUSA_PORTA_INEXISTENTE: return "missing";
        case WSR_CAUSA_SEM_PERMISSAO: return "permission";
        case WSR_CAUSA_PORTA_OCUPADA: return "busy";
        case WSR_CAUSA_CONFIGURACAO_RECUSADA: return "settings-refused";
        case WSR_CAUSA_NOME_RECUSADO: return "name-refused";
        case WSR_CAUSA_HOST_DESCONHECIDO: return "host-not-found";
        case WSR_CAUSA_CONEXAO_RECUSADA: return "connection-refused";
        case WSR_CAUSA_CONEXAO_ESGOTADA: return "connect-timeout";
        case WSR_CAUSA_CONEXAO_PERDIDA: return "connection-dropped";
        default: return "other";
    }
}

const char* cause_text(int32_t causa) {
    switch (causa) {
        case WSR_CAUSA_PORTA_INEXISTENTE: return "no such device";
        case WSR_CAUSA_SEM_PERMISSAO: return "access denied (join the port's group)";
        case WSR_CAUSA_PORTA_OCUPADA: return "another program holds it";
        case WSR_CAUSA_CONFIGURACAO_RECUSADA: return "the device refused the settings (the baud rate?)";
        case WSR_CAUSA_NOME_RECUSADO: return "not a serial port";
        case WSR_CAUSA_HOST_DESCONHECIDO: return "host not found";
        case WSR_CAUSA_CONEXAO_RECUSADA: return "connection refused (nothing listens on that port)";
        case WSR_CAUSA_CONEXAO_ESGOTADA: return "no answer to the connection within 1000 ms";
        case WSR_CAUSA_CONEXAO_PERDIDA: return "the connection dropped";
        default: return "see the message";
    }
}

const char* status_key(char letter) {
    switch (letter) {
        case 'I': return "unstable";
        case 'N': return "negative";
        case 'S': return "overload";
        default: return "unreadable";
    }
}

const char* status_text(char letter) {
    switch (letter) {
        case 'I': return "status I: unstable, the weight is in motion";
        case 'N': return "status N: negative, below zero";
        case 'S': return "status S: overload, above capacity";
        default: return "unreadable reply: not a weight, check the baud rate";
    }
}

}  // namespace

int exit_status(const WsrLeitura& reading) {
    switch (reading.tipo) {
        case WSR_PESO: return kExitWeight;
        case WSR_STATUS: return kExitStatus;
        case WSR_SEM_LEITURA: return kExitNoReading;
        default: return kExitFailure;
    }
}

std::string reply_hex(const WsrLeitura& reading) {
    std::string hex;
    char byte[4];
    for (int i = 0; i < reading.bytes_resposta; ++i) {
        std::snprintf(byte, sizeof byte, "%s%02X", hex.empty() ? "" : " ", reading.resposta[i]);
        hex += byte;
    }
    return hex;
}

std::string describe(const WsrLeitura& reading) {
    switch (reading.tipo) {
        case WSR_PESO: return three_decimals(reading.peso) + " kg";
        case WSR_STATUS: return status_text(LetraStatus(reading));
        case WSR_SEM_LEITURA: {
            std::string line = std::string("no reading: ") + reason_text(reading.motivo);
            if (reading.causa != WSR_CAUSA_NENHUMA) line += std::string(", ") + cause_text(reading.causa);
            return line;
        }
        default: return {};
    }
}

std::string message_utf8(const WsrLeitura& reading) {
    return to_utf8(std::string(reading.mensagem, ::strnlen(reading.mensagem, sizeof reading.mensagem)));
}

nlohmann::ordered_json to_json(const WsrLeitura& reading, const std::string& time) {
    nlohmann::ordered_json json;
    json["time"] = time;
    json["kind"] = kind_name(reading.tipo);
    // The C value's -1, -2, -10 and 0 are no weights: a client that reads only "weight" never charges one.
    json["weight"] = reading.tipo == WSR_PESO ? nlohmann::ordered_json(reading.peso) : nlohmann::ordered_json();
    if (reading.tipo == WSR_STATUS) {
        const char letter = LetraStatus(reading);
        json["status"] = status_key(letter);
        json["letter"] = letter != 0 ? nlohmann::ordered_json(std::string(1, letter)) : nlohmann::ordered_json();
    }
    if (reading.tipo == WSR_SEM_LEITURA) {
        json["reason"] = reason_key(reading.motivo);
        if (reading.causa != WSR_CAUSA_NENHUMA) {
            json["cause"] = cause_key(reading.causa);
            json["system_error"] = reading.erro_sistema;
        }
    }
    json["polls"] = reading.consultas;
    json["bytes"] = reading.bytes_resposta;
    std::string hex = reply_hex(reading);
    std::erase(hex, ' ');
    json["reply"] = hex;
    json["message"] = message_utf8(reading);
    return json;
}

std::string to_utf8(const std::string& cp1252) {
    // 0x80-0x9F differ from Latin-1 in Windows-1252; the five unassigned ones become U+FFFD.
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string utf8;
    for (unsigned char c : cp1252) {
        char32_t code = c;
        if (c >= 0x80 && c < 0xA0) code = kHigh[c - 0x80];
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

}  // namespace Wsr37100::common
