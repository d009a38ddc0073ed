// `wsr37100 detect`: which port, which rate, which frame. One thread per port,
// each trying the rates in turn through the library's probe.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "common/exit_codes.hpp"
#include "common/interrupts.hpp"
#include "common/reading.hpp"
#include "console.hpp"
#include "ports.hpp"
#include "wsr37100.hpp"

namespace Wsr37100::cli {

namespace {

// Drivers of USB-to-serial bridges (Linux modules, Windows services). A modem,
// a PIN pad or a fiscal printer shows up as an on-board UART or a CDC ACM
// device (cdc_acm, usbser), and is not polled unless named or --all.
constexpr const char* kAdapterDrivers[] = {
    "ftdi_sio", "pl2303", "cp210x", "ch341", "ch343", "ark3116", "oti6858", "mct_u232", "io_ti", "io_edgeport",
    "keyspan", "mos7720", "mos7840", "spcp8x5", "ti_usb_3410_5052", "f81232", "f81534", "xr_serial", "cypress_m8",
    "kl5kusb105", "quatech2", "ssu100", "belkin_sa", "digi_acceleport",
    "FTDIBUS", "Ser2pl", "Ser2pl64", "silabser", "CH341SER", "CH341SER_A64", "CH343SER", "CH343SER_A64"};
// USB vendors whose serial devices are bridges: FTDI, Prolific, Silicon Labs, WCH.
constexpr const char* kAdapterVendors[] = {"0403", "067b", "10c4", "1a86"};

// One rate's call: room for its two polls with their full silence confirmation
// (at 2400 two of 738 ms) and for opening the port (an RFC 2217 connect and
// negotiation may take two seconds), also on a machine so busy that the open
// itself takes a second. A silent rate costs its polls' waits, not this.
constexpr std::chrono::milliseconds kRateBudget{5000};
constexpr std::size_t kMaxRates = 16;

bool serial_adapter(const PortInfo& port) {
    const auto named = [](const std::string& value, const auto& list) {
        return std::any_of(std::begin(list), std::end(list), [&](const char* item) {
            return std::equal(value.begin(), value.end(), item, item + std::char_traits<char>::length(item),
                              [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                          std::tolower(static_cast<unsigned char>(b)); });
        });
    };
    return named(port.driver, kAdapterDrivers) || named(port.vendor_id, kAdapterVendors);
}

enum class Verdict { Found, NotFound, Busy, Unavailable, NoRate, NotTried, Stopped };

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::Found: return "found";
        case Verdict::NotFound: return "not-found";
        case Verdict::Busy: return "busy";
        case Verdict::Unavailable: return "unavailable";
        case Verdict::NoRate: return "no-rate-to-set";
        case Verdict::NotTried: return "not-tried";
        case Verdict::Stopped: break;
    }
    return "stopped";
}

// What one rate gave, as the call's values.
struct RateSeen {
    int baud = 0;
    int32_t heard = WSR_LINHA_NAO_TESTADA;  // WsrDeteccao.veredito
    int bytes = 0;                          // WsrDeteccao.bytes_lidos
};

// The value's name in --json.
std::string heard_name(int32_t heard) {
    switch (heard) {
        case WSR_LINHA_NAO_TESTADA: return "not-tried";
        case WSR_LINHA_QUADRO: return "frame";
        case WSR_LINHA_LIXO: return "garbage";
        case WSR_LINHA_SILENCIO: return "silence";
        case WSR_LINHA_VELOCIDADE_RECUSADA: return "rate-refused";
        case WSR_LINHA_FALHOU: return "failed";
        case WSR_LINHA_SEM_RESPOSTA: return "unanswered";
        default: return "unknown " + std::to_string(heard);
    }
}

// What the rate gave, in a few words.
std::string words_for(const RateSeen& seen) {
    switch (seen.heard) {
        case WSR_LINHA_NAO_TESTADA: return "not tried, out of time";
        case WSR_LINHA_QUADRO: return std::to_string(seen.bytes) + "-byte frame";
        case WSR_LINHA_LIXO:
            return seen.bytes == 1 ? "1 byte that is no frame" : std::to_string(seen.bytes) + " bytes that are no frame";
        case WSR_LINHA_SILENCIO: return "silence";
        case WSR_LINHA_VELOCIDADE_RECUSADA: return "rate refused by the device";
        case WSR_LINHA_FALHOU: return "the line failed";
        case WSR_LINHA_SEM_RESPOSTA: return "the server did not answer";
        default: return "an outcome this tool does not know (" + std::to_string(seen.heard) + ")";
    }
}

struct PortResult {
    explicit PortResult(std::string name) : port(std::move(name)) {}
    std::string port;
    Verdict verdict = Verdict::NotFound;
    WsrDeteccao found{};      // with Found: the record of the rate that answered
    std::vector<RateSeen> rates;
    std::string message;      // UTF-8: the module's reason, or why the port was not tried
    std::string current_rate;  // what is being tried now, for the progress line
    bool done = false;
};

void probe(PortResult& result, const std::vector<int>& bauds, std::mutex& lock, const common::Interrupts& interrupts) {
    for (const int baud : bauds) {
        if (interrupts.requested()) {
            std::lock_guard guard(lock);
            result.verdict = Verdict::Stopped;
            break;
        }
        {
            std::lock_guard guard(lock);
            result.current_rate = std::to_string(baud);
        }
        WsrDeteccao found{};
        found.tamanho = sizeof found;
        const std::string rate = std::to_string(baud);
        WsrDetecta(result.port.c_str(), rate.c_str(), static_cast<uint32_t>(kRateBudget.count()), &found);
        const std::string message = common::to_utf8(found.mensagem);
        std::lock_guard guard(lock);
        switch (found.resultado) {
            case WSR_DETECCAO_ENCONTRADA:
                result.verdict = Verdict::Found;
                result.found = found;
                result.rates.push_back({baud, found.veredito, found.bytes_lidos});
                result.message = message;
                break;
            case WSR_DETECCAO_NAO_ENCONTRADA:
            case WSR_DETECCAO_TEMPO_ESGOTADO:
                result.rates.push_back({baud, found.veredito, found.bytes_lidos});
                continue;
            case WSR_DETECCAO_PORTA_INDISPONIVEL:
                result.verdict = found.causa == WSR_CAUSA_PORTA_OCUPADA ? Verdict::Busy : Verdict::Unavailable;
                result.message = message;
                break;
            case WSR_DETECCAO_SEM_VELOCIDADE:
                result.verdict = Verdict::NoRate;
                result.message = message;
                break;
            default:
                result.verdict = Verdict::Unavailable;
                result.message = message;
                break;
        }
        break;
    }
    std::lock_guard guard(lock);
    result.done = true;
}

std::string frame_hex(const WsrDeteccao& found) {
    std::string text;
    char byte[4];
    for (int i = 0; i < found.quadro && i < 8; ++i) {
        std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", found.resposta[i]);
        text += byte;
    }
    return text;
}

// The frame found, as a reading: what it said is told as weigh tells it.
WsrLeitura as_reading(const WsrDeteccao& found) {
    WsrLeitura reading{};
    reading.tipo = found.tipo;
    reading.peso = found.peso;
    reading.bytes_resposta = found.quadro;
    std::copy(std::begin(found.resposta), std::end(found.resposta), reading.resposta);
    return reading;
}

std::string what_it_said(const WsrDeteccao& found) {
    if (found.tipo == WSR_PESO) {
        char weight[32];
        std::snprintf(weight, sizeof weight, "%.3f kg", found.peso);
        return weight;
    }
    // Well-formed frames at this rate: a text in them that is no weight is the scale's protocol, not the rate.
    switch (LetraStatus(as_reading(found))) {
        case 'N': return "status N (negative)";
        case 'S': return "status S (overload)";
        case 'I': return "status I (unstable)";
        default: return "a text that is not a weight";
    }
}

// The scale's name in a pasted --scale: "scale", then "scale2", ...
std::string scale_name(int index) { return index == 1 ? "scale" : "scale" + std::to_string(index); }

std::string serve_option(const PortResult& result, int index) {
    return "--scale " + scale_name(index) + "=" + result.port + ":" + std::to_string(result.found.velocidade) +
           ",frame=" + std::to_string(result.found.quadro);
}

std::string rates_text(const PortResult& result) {
    std::string text;
    for (const RateSeen& seen : result.rates) text += (text.empty() ? "" : "; ") + std::to_string(seen.baud) + ": " + words_for(seen);
    return text;
}

void print_text(const std::vector<PortResult>& results) {
    int found = 0;
    for (const PortResult& result : results) {
        std::printf("%s  ", result.port.c_str());
        switch (result.verdict) {
            case Verdict::Found:
                ++found;
                std::printf("found: %d baud, %d-byte frame, said %s (%s)\n", result.found.velocidade, result.found.quadro,
                            what_it_said(result.found).c_str(), frame_hex(result.found).c_str());
                std::printf("    serve:     %s\n", serve_option(result, found).c_str());
                std::printf("    BuscaPeso: sPorta \"%s\", sVelocidade \"%d\" (BuscaPesoEx: WsrOpcoes.quadro = %d)\n",
                            result.port.c_str(), result.found.velocidade, result.found.quadro);
                break;
            case Verdict::NotFound: std::printf("no scale: %s\n", rates_text(result).c_str()); break;
            case Verdict::Busy: std::printf("skipped, busy: %s\n", result.message.c_str()); break;
            case Verdict::Unavailable: std::printf("unavailable: %s\n", result.message.c_str()); break;
            case Verdict::NoRate: std::printf("no rate to set: %s\n", result.message.c_str()); break;
            case Verdict::NotTried: std::printf("not tried: %s\n", result.message.c_str()); break;
            case Verdict::Stopped: std::printf("stopped before every rate was tried: %s\n", rates_text(result).c_str()); break;
        }
    }
}

void print_json(const std::vector<PortResult>& results) {
    auto list = nlohmann::ordered_json::array();
    int found = 0;
    for (const PortResult& result : results) {
        nlohmann::ordered_json item{{"port", result.port}, {"result", verdict_name(result.verdict)}};
        if (result.verdict == Verdict::Found) {
            ++found;
            item["baud"] = result.found.velocidade;
            item["frame"] = result.found.quadro;
            const auto said = common::to_json(as_reading(result.found), "");
            item["kind"] = said["kind"];
            item["weight"] = said["weight"];  // null for a status
            if (said.contains("status")) item["status"] = said["status"];
            item["reply"] = frame_hex(result.found);
            item["serve"] = serve_option(result, found);
        }
        auto rates = nlohmann::ordered_json::array();
        for (const RateSeen& seen : result.rates) {
            rates.push_back({{"baud", seen.baud}, {"heard", heard_name(seen.heard)}, {"bytes", seen.bytes},
                             {"said", words_for(seen)}});
        }
        item["rates"] = rates;
        item["message"] = result.message;
        list.push_back(item);
    }
    std::printf("%s\n", list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// "\r" and the ports in flight with their rate, while any is; cleared at the end.
void show_progress(const std::vector<PortResult>& results, std::mutex& lock, std::size_t& shown) {
    std::string line = "probing";
    {
        std::lock_guard guard(lock);
        for (const PortResult& result : results) {
            if (!result.done && !result.current_rate.empty()) line += " " + result.port + " @ " + result.current_rate;
        }
    }
    if (line.size() > 100) line = line.substr(0, 97) + "...";
    std::fprintf(stderr, "\r%-*s", static_cast<int>(std::max(shown, line.size())), line.c_str());
    shown = line.size();
}

}  // namespace

int detect(const DetectOptions& options) {
    std::vector<int> bauds;
    std::string rest = options.bauds;
    for (bool last = false; !last;) {
        const auto comma = rest.find(',');
        last = comma == std::string::npos;
        const std::string item = rest.substr(0, comma);
        const bool digits = !item.empty() && item.size() <= 9 && item.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(item) == 0 || bauds.size() == kMaxRates) {
            std::fprintf(stderr, "wsr37100 detect: --bauds is 1 to %zu baud rates, whole numbers above 0 with commas between (2400,9600): %s\n",
                         kMaxRates, options.bauds.c_str());
            return common::kExitUsage;
        }
        bauds.push_back(std::stoi(item));
        if (!last) rest.erase(0, comma + 1);
    }

    std::vector<PortResult> results;
    if (!options.ports.empty()) {
        for (const auto& port : options.ports) {
            // A port named twice is probed once: the second would find the first holding it.
            const bool named_before = std::any_of(results.begin(), results.end(), [&](const PortResult& r) { return r.port == port; });
            if (!named_before) results.emplace_back(port);
        }
    } else {
        if (options.all) {
            std::fprintf(stderr, "wsr37100 detect: warning: --all polls every serial port with ENQ, whatever is on it "
                                 "(a fiscal printer, a modem, a PIN pad)\n");
        }
        for (const PortInfo& port : list_ports()) {
            PortResult result(port.device);
            if (!options.all && !serial_adapter(port)) {
                result.verdict = Verdict::NotTried;
                result.message = "not a USB serial adapter (" + (port.driver.empty() ? std::string("unknown driver") : port.driver) +
                                 "): name it, or use --all";
                result.done = true;
            }
            results.push_back(std::move(result));
        }
        if (results.empty()) std::fprintf(stderr, "wsr37100 detect: no serial ports found\n");
    }

    const common::Interrupts interrupts;
    std::mutex lock;
    std::vector<std::thread> threads;
    for (PortResult& result : results) {
        if (!result.done) threads.emplace_back([&] { probe(result, bauds, lock, interrupts); });
    }
    if (stderr_is_terminal() && !threads.empty()) {
        std::size_t shown = 0;
        const auto all_done = [&] {
            std::lock_guard guard(lock);
            return std::all_of(results.begin(), results.end(), [](const PortResult& r) { return r.done; });
        };
        while (!all_done()) {
            show_progress(results, lock, shown);
            // Once interrupted the wait returns at once: the threads end at their next rate.
            if (!interrupts.sleep_for(std::chrono::milliseconds(100))) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown), "");
    }
    for (std::thread& thread : threads) thread.join();

    if (options.json) {
        print_json(results);
    } else {
        print_text(results);
    }
    std::fflush(stdout);
    if (interrupts.requested()) return common::kExitInterrupted;
    const bool found = std::any_of(results.begin(), results.end(), [](const PortResult& r) { return r.verdict == Verdict::Found; });
    return found ? common::kExitWeight : common::kExitNoReading;
}

DetectCommand::DetectCommand(CLI::App& app)
    : Command(app, "detect",
              "Find the scale: poll each port at each baud rate in turn and tell which rate and frame answer,\n"
              "with the --scale option for serve and the values for BuscaPeso. A rate counts once two polls in a\n"
              "row give well-formed frames. With no port named only USB serial adapters are tried (--all: every\n"
              "port listed). A port another program holds is skipped unopened; each port's settings are put back.\n"
              "Ports are probed at once, one thread each. A progress line goes to a terminal, never to a pipe.\n"
              "Example: wsr37100 detect /dev/ttyUSB0 --bauds 9600,4800",
              "Exit status: 0 a scale found (on any port), 3 none found, 64 usage error, 130 stopped by\n"
              "Ctrl-C, 1 any other error. Results go to stdout, the progress line and warnings to stderr.") {
    command().add_option("PORT", options_.ports,
        "Ports to probe: COM3, ttyUSB0, /dev/ttyUSB0, rfc2217://HOST:PORT (raw tcp:// has no\n"
        "rate to set); none: the USB serial adapters that `ports` lists");
    command().add_option("--bauds", options_.bauds, "Rates to try, in this order")->capture_default_str();
    command().add_flag("--json", options_.json, "One JSON array, an object per port");
    command().add_flag("--all", options_.all,
        "With no port named: every port listed, not only USB serial adapters\n"
        "(each gets an ENQ, whatever device is on it)");
}

}  // namespace Wsr37100::cli
