// Text and JSON forms of a reading for the command-line tool.
#include "reading.hpp"

#include <cstdio>
#include <string_view>

namespace Wsr37100::cli {

namespace {

std::string three_decimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

const char* kind_name(int32_t tipo) {
    switch (tipo) {
        case WSR_PESO: return "weight";
        case WSR_STATUS: return "status";
        case WSR_SEM_LEITURA: return "no-reading";
        default: return "failure";
    }
}

const char* reason_text(int32_t motivo) {
    switch (motivo) {
        case WSR_MOTIVO_PORTA_INDISPONIVEL: return "port could not be opened or configured: missing, busy or no permission";
        case WSR_MOTIVO_CONSULTA_FALHOU: return "the poll failed: the port hung up or the cable was unplugged";
        case WSR_MOTIVO_SILENCIO: return "silence: the scale sent nothing within 1000 ms";
        case WSR_MOTIVO_RESPOSTAS_PARCIAIS: return "five partial replies of 1 to 6 bytes";
        default: return "";
    }
}

const char* reason_key(int32_t motivo) {
    switch (motivo) {
        case WSR_MOTIVO_PORTA_INDISPONIVEL: return "port-unavailable";
        case WSR_MOTIVO_CONSULTA_FALHOU: return "poll-failed";
        case WSR_MOTIVO_SILENCIO: return "silence";
        case WSR_MOTIVO_RESPOSTAS_PARCIAIS: return "partial-replies";
        default: return "";
    }
}

char status_letter(double weight) {
    if (weight == -2) return 'N';
    if (weight == -10) return 'S';
    return 'I';
}

std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
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
        case WSR_STATUS: return three_decimals(reading.peso) + " status " + status_letter(reading.peso);
        case WSR_SEM_LEITURA: return three_decimals(0) + " no reading (" + reason_text(reading.motivo) + ")";
        default: return "failure: " + to_utf8(reading.mensagem);
    }
}

std::string to_json(const WsrLeitura& reading) {
    std::string json = "{\"kind\":\"" + std::string(kind_name(reading.tipo)) + "\"";
    json += ",\"weight\":" + (reading.tipo == WSR_FALHA ? std::string("null") : three_decimals(reading.peso));
    if (reading.tipo == WSR_SEM_LEITURA) json += ",\"reason\":\"" + std::string(reason_key(reading.motivo)) + "\"";
    json += ",\"polls\":" + std::to_string(reading.consultas);
    json += ",\"bytes\":" + std::to_string(reading.bytes_resposta);
    std::string hex = reply_hex(reading);
    std::erase(hex, ' ');
    json += ",\"reply\":\"" + hex + "\"";
    json += ",\"message\":" + json_string(to_utf8(reading.mensagem)) + "}";
    return json;
}

std::string to_utf8(const std::string& cp1252) {
    // 0x80-0x9F differ from Latin-1 in Windows-1252.
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

}  // namespace Wsr37100::cli
