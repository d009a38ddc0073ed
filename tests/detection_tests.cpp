// Finding the scale: the probe against scales played at their own line speed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "detection/detection.hpp"
#include "link/serial/port_holders.hpp"
#include "link/serial/uucp_lock.hpp"
#include "scale_emulator.hpp"
#include "support/temp_folder.hpp"
#include "tcp_scale.hpp"
#include "wsr37100.h"
#include "wsr37100.hpp"

extern char** environ;

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

WsrDeteccao detect(const std::string& port, const char* rates = nullptr, uint32_t budget_ms = 0) {
    WsrDeteccao found{};
    found.tamanho = sizeof found;
    const int32_t result = WsrDetecta(port.c_str(), rates, budget_ms, &found);
    EXPECT_EQ(result, found.resultado);
    return found;
}

struct FoundCase {
    const char* name;
    unsigned scale_rate;
    std::string frame;
    const char* rates;  // null: the default list
    int32_t tipo;
    double peso;
    int32_t tried;
    // Not 0: the reply to the first ENQ is held until the port is at this rate
    // and has sent its ENQ (a reply later than the wait, read at the next rate).
    unsigned released_at = 0;
    std::chrono::milliseconds late{0};  // each reply this late
};

class Found : public ::testing::TestWithParam<FoundCase> {};

TEST_P(Found, AtTheScalesRateWithItsFrame) {
    const FoundCase& c = GetParam();
    ScaleReply late = ScaleReply::held(c.frame);
    late.chunks.push_back({150ms, ""});  // and a while before the scale reads the next ENQ: the held reply comes alone
    ScaleEmulator scale({c.released_at != 0 ? late : ScaleReply::after(c.late, c.frame)}, true);
    scale.line_speed(c.scale_rate);
    std::jthread releaser;
    if (c.released_at != 0) {
        releaser = std::jthread([&scale, &c](std::stop_token stop) {
            while (!stop.stop_requested() && !(scale.line_baud_rate() == c.released_at && scale.unread() > 0)) {
                std::this_thread::sleep_for(1ms);
            }
            scale.replace_script({ScaleReply::bytes(c.frame)});
            scale.release();
        });
    }
    const WsrDeteccao found = detect(scale.device_path(), c.rates);
    EXPECT_EQ(found.resultado, WSR_DETECCAO_ENCONTRADA) << found.mensagem;
    EXPECT_EQ(found.velocidade, static_cast<int32_t>(c.scale_rate));
    EXPECT_EQ(found.quadro, static_cast<int32_t>(c.frame.size()));
    EXPECT_EQ(found.tipo, c.tipo);
    EXPECT_DOUBLE_EQ(found.peso, c.peso);
    EXPECT_EQ(found.velocidades_testadas, c.tried);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(found.resposta), c.frame.size()), c.frame);
    EXPECT_EQ(found.causa, WSR_CAUSA_NENHUMA);
    EXPECT_EQ(found.veredito, WSR_LINHA_QUADRO);
    EXPECT_EQ(found.bytes_lidos, static_cast<int32_t>(c.frame.size()));
}

// A USB adapter hands a reply over in bursts (an FTDI chip every 16 ms): a
// frame split by such a pause is still one frame.
TEST(Detection, AFrameInBurstsIsOneFrame) {
    ScaleEmulator scale({ScaleReply::split(fixed_frame("02500"), 3, 20ms)}, true);
    scale.line_speed(2400);
    const WsrDeteccao found = detect(scale.device_path());
    EXPECT_EQ(found.resultado, WSR_DETECCAO_ENCONTRADA) << found.mensagem;
    EXPECT_EQ(found.quadro, 7);
}

INSTANTIATE_TEST_SUITE_P(
    Detection, Found,
    ::testing::Values(FoundCase{"at2400fixed", 2400, fixed_frame("01500"), nullptr, WSR_PESO, 1.5, 1},
                      FoundCase{"at4800delimited", 4800, delimited_frame(" 2.250"), nullptr, WSR_PESO, 2.25, 2},
                      FoundCase{"at9600status", 9600, delimited_frame("IIIIII"), nullptr, WSR_STATUS, -1, 3},
                      FoundCase{"at19200fixed", 19200, fixed_frame("12345"), nullptr, WSR_PESO, 12.345, 4},
                      FoundCase{"namedRatesInTheirOrder", 1200, fixed_frame("00100"), "9600,1200", WSR_PESO, 0.1, 2},
                      // Later than the wait: read at 4800, not confirmed there; 2400 is tried again.
                      FoundCase{"aLateReply", 2400, fixed_frame("00500"), "2400,4800", WSR_PESO, 0.5, 2, 4800},
                      // Tried alone, a rate waits the longer wait at once: no later rate would hear the late reply.
                      FoundCase{"aloneAndLate", 9600, delimited_frame(" 1.000"), "9600", WSR_PESO, 1.0, 1, 0, 400ms}),
    [](const auto& row) { return std::string(row.param.name); });

struct NotFoundCase {
    const char* name;
    std::vector<ScaleReply> script;
    const char* said;  // what each rate's description says
    int32_t veredito;  // what the last rate gave, as a value
    int32_t bytes;     // and the bytes its deciding poll got
    std::optional<TcpScale::Face> server;  // probed through this server instead of the serial port
};

class NotFound : public ::testing::TestWithParam<NotFoundCase> {};

TEST_P(NotFound, EveryRateToldWhatItGave) {
    const NotFoundCase& c = GetParam();
    ScaleEmulator scale(c.script, true);
    std::optional<TcpScale> server;
    if (c.server) server.emplace(c.script, true, *c.server);
    const WsrDeteccao found = detect(server ? server->rfc2217_address() : scale.device_path(), "2400,9600");
    EXPECT_EQ(found.resultado, WSR_DETECCAO_NAO_ENCONTRADA) << found.mensagem;
    EXPECT_EQ(found.velocidades_testadas, 2);
    EXPECT_EQ(found.velocidade, 0);
    EXPECT_EQ(found.tipo, WSR_SEM_LEITURA);
    const std::string message = found.mensagem;
    EXPECT_NE(message.find(std::string("2400: ") + c.said), std::string::npos) << message;
    EXPECT_NE(message.find(std::string("9600: ") + c.said), std::string::npos) << message;
    EXPECT_EQ(found.veredito, c.veredito) << message;
    EXPECT_EQ(found.bytes_lidos, c.bytes) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Detection, NotFound,
    ::testing::Values(NotFoundCase{"silent", {ScaleReply::silence()}, "sil\xEAncio", WSR_LINHA_SILENCIO, 0},
                      NotFoundCase{"frameNeverCloses", {ScaleReply::bytes("\x02" "01500")}, "6 bytes que n\xE3o formam",
                                   WSR_LINHA_LIXO, 6},
                      // One good frame is not enough: the next poll must agree.
                      NotFoundCase{"oneGoodFrameOfTwo",
                                   {ScaleReply::bytes(fixed_frame("01500")), ScaleReply::bytes("\x80\x81")},
                                   "2 bytes que n\xE3o formam", WSR_LINHA_LIXO, 2},
                      NotFoundCase{"framesOfTwoSizes",
                                   {ScaleReply::bytes(fixed_frame("01500")), ScaleReply::bytes(delimited_frame(" 1.500"))},
                                   "8 bytes que n\xE3o formam", WSR_LINHA_LIXO, 8},
                      // What a wrong rate makes of a frame keeps its STX and ETX, not its characters.
                      NotFoundCase{"noiseBetweenStxAndEtx", {ScaleReply::bytes("\x02\x80\xC1\xFE\xFF\x9A\x03")},
                                   "7 bytes que n\xE3o formam", WSR_LINHA_LIXO, 7},
                      NotFoundCase{"aServerThatNeverAnswers", {}, "o servidor n\xE3o respondeu", WSR_LINHA_SEM_RESPOSTA, 0,
                                   TcpScale::Face::Answer},
                      NotFoundCase{"aServerThatFloodsInsteadOfAnswering", {}, "o servidor n\xE3o respondeu",
                                   WSR_LINHA_SEM_RESPOSTA, 0, TcpScale::Face::Flood},
                      // The line never falls quiet before the first poll: that is no lost connection.
                      NotFoundCase{"aServerThatNeverFallsQuiet", {}, "8 bytes que n\xE3o formam", WSR_LINHA_LIXO, 8,
                                   TcpScale::Face::Rfc2217Streaming}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Detection, ThePortsSettingsArePutBack) {
    ScaleEmulator scale({ScaleReply::bytes(fixed_frame("01000"))}, true);
    scale.line_speed(9600);
    termios before = scale.line_settings();
    ::cfsetispeed(&before, B1200);
    ::cfsetospeed(&before, B1200);
    before.c_lflag |= ICANON | ECHO;
    before.c_iflag |= IXON | ICRNL;
    scale.set_line_settings(before);
    before = scale.line_settings();  // as the device keeps them
    ASSERT_EQ(detect(scale.device_path()).resultado, WSR_DETECCAO_ENCONTRADA);
    const termios after = scale.line_settings();
    EXPECT_EQ(::cfgetospeed(&after), B1200);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// A busy port is reported, never opened: the scale sees no ENQ and keeps its settings.
enum class Holder { LockFile, OpenElsewhere };

class Busy : public ::testing::TestWithParam<Holder> {};

TEST_P(Busy, IsSkippedUnopened) {
    ScaleEmulator scale({ScaleReply::bytes(fixed_frame("01000"))}, true);
    testing::TempFolder locks;
    LinkOptions options;
    options.lock_folder = locks.str();
    pid_t holder = 0;
    if (GetParam() == Holder::LockFile) {
        holder = ::getppid();  // alive for as long as this test runs
        std::ofstream(locks.path() / uucp_lock_name(scale.device_path())) << std::setw(10) << holder << "\n";
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 3, scale.device_path().c_str(), O_RDWR | O_NOCTTY, 0);
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
        ASSERT_EQ(::posix_spawnp(&holder, "sleep", &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        struct stat device {};
        ASSERT_EQ(::stat(scale.device_path().c_str(), &device), 0);
        // The child opens the port as it starts; wait until /proc shows it.
        const auto give_up = Clock::now() + 10s;
        while (process_holding(device.st_rdev) != holder && Clock::now() < give_up) std::this_thread::sleep_for(5ms);
    }
    const termios before = scale.line_settings();
    const Detection found = detect_scale(scale.device_path(), kDetectionRates, 3s, options);
    if (GetParam() == Holder::OpenElsewhere) {
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
    }
    EXPECT_EQ(found.result, DetectionResult::PortUnavailable);
    EXPECT_EQ(found.port_failure.problem, PortProblem::Busy);
    EXPECT_NE(found.message.find(std::to_string(holder)), std::string::npos) << found.message;
    EXPECT_TRUE(found.trials.empty());
    EXPECT_EQ(scale.polls(), 0);
    const termios after = scale.line_settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

INSTANTIATE_TEST_SUITE_P(Detection, Busy, ::testing::Values(Holder::LockFile, Holder::OpenElsewhere),
                         [](const auto& row) { return row.param == Holder::LockFile ? "locked" : "openElsewhere"; });

TEST(Detection, TwoPortsAtOnceFindTheirOwnScales) {
    ScaleEmulator first({ScaleReply::bytes(fixed_frame("01000"))}, true);
    ScaleEmulator second({ScaleReply::bytes(delimited_frame(" 2.000"))}, true);
    first.line_speed(4800);
    second.line_speed(19200);
    WsrDeteccao found_first{}, found_second{};
    std::thread other([&] { found_second = detect(second.device_path()); });
    found_first = detect(first.device_path());
    other.join();
    EXPECT_EQ(found_first.velocidade, 4800) << found_first.mensagem;
    EXPECT_EQ(found_first.quadro, 7);
    EXPECT_EQ(found_second.velocidade, 19200) << found_second.mensagem;
    EXPECT_EQ(found_second.quadro, 8);
}

// A rate is tried only while the budget holds both its polls. How many fit
// depends on how busy the machine is; that the budget is kept and that the
// rates tried are the ones told does not.
TEST(Detection, TheBudgetIsHonoured) {
    // tried: the rates tried, where the budget alone decides it (-1: the machine's pace does too).
    struct Case { const char* name; ScaleReply reply; const char* rates; uint32_t budget_ms; bool repeat; int tried; };
    const Case cases[] = {
        {"silent rates", ScaleReply::silence(), "2400,4800,9600,19200", 700, true, -1},
        // A reply at 110 baud takes over a second: one poll would fit, both do not, so it is never tried.
        {"one poll of two fits", ScaleReply::after(900ms, delimited_frame(" 1.000")), "110", 1500, true, 0},
        // The confirmation's wait is cut to what is left: its silence is no answer.
        {"one frame, then silence", ScaleReply::bytes(fixed_frame("01000")), "2400", 600, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleEmulator scale({c.reply}, c.repeat);
        const auto start = Clock::now();
        const WsrDeteccao found = detect(scale.device_path(), c.rates, c.budget_ms);
        const auto took = Clock::now() - start;
        EXPECT_EQ(found.resultado, WSR_DETECCAO_TEMPO_ESGOTADO) << found.mensagem;
        EXPECT_LT(took, std::chrono::milliseconds(c.budget_ms) + 300ms);  // a generous guard: the budget, and the opens
        if (c.tried >= 0) {
            EXPECT_EQ(found.velocidades_testadas, c.tried) << found.mensagem;
        }
        const auto rates = detection_rates(c.rates);
        for (std::size_t i = 0; i < rates.size(); ++i) {
            const bool told = std::string(found.mensagem).find(std::to_string(rates[i]) + ": ") != std::string::npos;
            EXPECT_EQ(told, static_cast<int32_t>(i) < found.velocidades_testadas) << found.mensagem;
        }
        // The last rate tried was silent; with none tried there is nothing it gave.
        EXPECT_EQ(found.veredito, found.velocidades_testadas > 0 ? WSR_LINHA_SILENCIO : WSR_LINHA_NAO_TESTADA);
        EXPECT_EQ(found.bytes_lidos, 0);
    }
}

TEST(Detection, OverRfc2217TheRateIsSetOnTheServer) {
    TcpScale server({ScaleReply::bytes(delimited_frame(" 3.500"))}, true, TcpScale::Face::Rfc2217);
    server.line_speed(9600);
    const WsrDeteccao found = detect(server.rfc2217_address());
    EXPECT_EQ(found.resultado, WSR_DETECCAO_ENCONTRADA) << found.mensagem;
    EXPECT_EQ(found.velocidade, 9600);
    EXPECT_EQ(found.quadro, 8);
    EXPECT_DOUBLE_EQ(found.peso, 3.5);
    EXPECT_EQ(found.velocidades_testadas, 3);
}

struct RefusalCase {
    const char* name;
    const char* port;
    const char* rates;
    int32_t result;
    int32_t cause;
};

class Refused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, NothingIsProbed) {
    const RefusalCase& c = GetParam();
    const WsrDeteccao found = detect(c.port, c.rates);
    EXPECT_EQ(found.resultado, c.result) << found.mensagem;
    EXPECT_EQ(found.causa, c.cause);
    EXPECT_EQ(found.velocidades_testadas, 0);
    EXPECT_EQ(found.veredito, WSR_LINHA_NAO_TESTADA);
    EXPECT_EQ(found.bytes_lidos, 0);
    EXPECT_NE(found.mensagem[0], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Detection, Refused,
    ::testing::Values(
        RefusalCase{"rateNotANumber", "/dev/null", "9600,96OO", WSR_DETECCAO_RECUSADA, WSR_CAUSA_NENHUMA},
        RefusalCase{"emptyRate", "/dev/null", "9600,", WSR_DETECCAO_RECUSADA, WSR_CAUSA_NENHUMA},
        RefusalCase{"seventeenRates", "/dev/null",
                    "300,600,1200,1800,2400,4800,7200,9600,14400,19200,28800,38400,57600,76800,115200,230400,460800",
                    WSR_DETECCAO_RECUSADA, WSR_CAUSA_NENHUMA},
        // Sixteen rates are taken: the port is what refuses this one.
        RefusalCase{"sixteenRatesThenThePort", "/dev/null",
                    "300,600,1200,1800,2400,4800,7200,9600,14400,19200,28800,38400,57600,76800,115200,230400",
                    WSR_DETECCAO_PORTA_INDISPONIVEL, WSR_CAUSA_NOME_RECUSADO},
        RefusalCase{"missingPort", "/dev/ttyNoSuchPort", nullptr, WSR_DETECCAO_PORTA_INDISPONIVEL,
                    WSR_CAUSA_PORTA_INEXISTENTE},
        RefusalCase{"notASerialLine", "/dev/null", nullptr, WSR_DETECCAO_PORTA_INDISPONIVEL, WSR_CAUSA_NOME_RECUSADO},
        RefusalCase{"rawTcpHasNoRate", "tcp://127.0.0.1:9", nullptr, WSR_DETECCAO_SEM_VELOCIDADE, WSR_CAUSA_NENHUMA}),
    [](const auto& row) { return std::string(row.param.name); });

// Records as hosts declare them: today's, one declared against an older header
// (560 bytes, up to mensagem), or too short. Only whole fields inside tamanho
// are written; a record without room for mensagem is refused with nothing
// written but resultado.
TEST(Detection, WritesOnlyTheWholeFieldsInsideTheCallersRecord) {
    constexpr std::size_t kOlder = offsetof(WsrDeteccao, mensagem) + sizeof(WsrDeteccao::mensagem);
    static_assert(kOlder == 560 && sizeof(WsrDeteccao) == 568);
    constexpr std::size_t kResultadoEnd = offsetof(WsrDeteccao, velocidade);
    struct Case {
        const char* what;
        std::size_t size;
        int32_t result;
        std::size_t reach;  // the bytes the call may write; past them the record is untouched
    };
    const Case cases[] = {
        {"today's record", sizeof(WsrDeteccao), WSR_DETECCAO_ENCONTRADA, sizeof(WsrDeteccao)},
        {"an older header's record, up to mensagem", kOlder, WSR_DETECCAO_ENCONTRADA, kOlder},
        {"room for veredito, bytes_lidos cut", offsetof(WsrDeteccao, bytes_lidos) + 2, WSR_DETECCAO_ENCONTRADA,
         offsetof(WsrDeteccao, bytes_lidos)},
        {"one byte short of mensagem's end", kOlder - 1, WSR_DETECCAO_RECUSADA, kResultadoEnd},
        {"up to mensagem's start", offsetof(WsrDeteccao, mensagem), WSR_DETECCAO_RECUSADA, kResultadoEnd},
        {"nothing but tamanho", sizeof(uint32_t), WSR_DETECCAO_RECUSADA, sizeof(uint32_t)},
    };
    ScaleEmulator scale({ScaleReply::bytes(fixed_frame("01500"))}, true);
    scale.line_speed(9600);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> record(sizeof(WsrDeteccao) + 16, 0xAB);
        auto* found = reinterpret_cast<WsrDeteccao*>(record.data());
        found->tamanho = static_cast<uint32_t>(c.size);
        EXPECT_EQ(WsrDetecta(scale.device_path().c_str(), "9600", 0, found), c.result);
        EXPECT_EQ(std::count(record.begin() + static_cast<std::ptrdiff_t>(c.reach), record.end(), 0xAB),
                  static_cast<std::ptrdiff_t>(record.size() - c.reach));
        EXPECT_EQ(found->tamanho, c.size);
        if (c.size >= kResultadoEnd) {
            EXPECT_EQ(found->resultado, c.result);
        }
        if (c.result == WSR_DETECCAO_ENCONTRADA) {
            EXPECT_EQ(found->velocidade, 9600) << found->mensagem;
            EXPECT_EQ(found->quadro, 7);
            EXPECT_STREQ(found->mensagem, ("Balan\xE7" "a encontrada em \"" + scale.device_path() +
                                           "\" a 9600 baud, quadro de 7 bytes").c_str());
        } else if (c.size > kResultadoEnd) {
            EXPECT_EQ(found->velocidade, static_cast<int32_t>(0xABABABAB));
        }
        if (c.reach > offsetof(WsrDeteccao, veredito)) {
            EXPECT_EQ(found->veredito, WSR_LINHA_QUADRO);
        }
        if (c.reach == sizeof(WsrDeteccao)) {
            EXPECT_EQ(found->bytes_lidos, 7);
        }
    }
    EXPECT_EQ(WsrDetecta("/dev/null", nullptr, 0, nullptr), -1);
}

// The C++ header carries the same values.
TEST(Detection, TheCppCallTellsWhatTheLastRateGave) {
    ScaleEmulator scale({ScaleReply::bytes("\x02" "01500")}, true);
    const Deteccao found = Detecta(scale.device_path(), "9600");
    EXPECT_EQ(found.resultado, Resultado::NaoEncontrada) << found.mensagem;
    EXPECT_EQ(found.veredito, Linha::Lixo);
    EXPECT_EQ(found.bytes_lidos, 6);
    const Deteccao none = Detecta("/dev/ttyNoSuchPort");
    EXPECT_EQ(none.resultado, Resultado::PortaIndisponivel);
    EXPECT_EQ(none.veredito, Linha::NaoTestada);
}

}  // namespace
}  // namespace Wsr37100
