// End to end: BuscaPeso and BuscaPesoEx through the shared library against an emulated scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <optional>

#include "log/daily_log.hpp"
#include "scale_emulator.hpp"
#include "link/serial/serial_port.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100.h"
#include "wsr37100.hpp"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::log_messages_in;
using testing::TempFolder;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const std::string kElse = " except Op\xE7\xE3o else = -1";

Lines opening(const std::string& port) { return {"porta configurada: " + port, "lendo a porta: " + port + ":"}; }

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct WeighCase {
    const char* name;
    std::vector<ScaleReply> script;
    int32_t tipo;
    double peso;
    int32_t motivo;
    int polls;
    Lines after_opening;  // the log lines after "porta configurada" and "lendo a porta"
};

void PrintTo(const WeighCase& c, std::ostream* os) { *os << c.name; }

class Weighing : public ::testing::TestWithParam<WeighCase> {};

// The C locale's separator is "."; the decoders put it in their texts.
TEST_P(Weighing, ResultPollsAndLog) {
    const WeighCase& c = GetParam();
    ScaleEmulator scale(c.script);
    TempFolder folder;
    const std::string port = scale.device_path();
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, nullptr, 20};
    const std::string log_folder = folder.str();
    opcoes.pasta_log = log_folder.c_str();
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;

    EXPECT_EQ(BuscaPesoEx(port.c_str(), "9600", &opcoes, &leitura), c.tipo);
    EXPECT_EQ(leitura.tipo, c.tipo);
    EXPECT_EQ(leitura.peso, c.peso);
    EXPECT_EQ(leitura.motivo, c.motivo);
    EXPECT_EQ(leitura.consultas, c.polls);
    EXPECT_EQ(scale.polls(), c.polls);
    EXPECT_STREQ(leitura.mensagem, "");
    EXPECT_EQ(log_messages_in(folder.path()), opening(port) + c.after_opening);
}

const std::string kEight = delimited_frame(" 1.234");
const std::string kSeven = fixed_frame("01234");

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Weighing,
    ::testing::Values(
        WeighCase{"fixed_frame", {ScaleReply::bytes(kSeven)}, WSR_PESO, 1.234, WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 7", "Valor de R = 01.234"}},
        WeighCase{"delimited_frame_logs_actread_8_twice", {ScaleReply::bytes(kEight)}, WSR_PESO, 1.234,
                  WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 8", "actRead = 8", "Valor de buffer = " + kEight, "Valor de sResp = 1.234",
                   "Ajustando o separador decimal: 1.234"}},
        WeighCase{"zero_weight", {ScaleReply::bytes(fixed_frame("00000"))}, WSR_PESO, 0.0, WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 7", "Valor de R = 00.000"}},
        WeighCase{"status_I", {ScaleReply::bytes(fixed_frame("IIIII"))}, WSR_STATUS, -1, WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 7", "Valor de R = II.III"}},
        WeighCase{"status_N", {ScaleReply::bytes(fixed_frame("NNNNN"))}, WSR_STATUS, -2, WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 7", "Valor de R = NN.NNN"}},
        WeighCase{"status_S_delimited", {ScaleReply::bytes(delimited_frame("SSSSSS"))}, WSR_STATUS, -10,
                  WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 8", "actRead = 8", "Valor de buffer = " + delimited_frame("SSSSSS"),
                   "Valor de sResp = SSSSSS", "Except erro: 'SSSSSS' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido"}},
        WeighCase{"unreadable_delimited", {ScaleReply::bytes(delimited_frame("@@@@@@"))}, WSR_STATUS, -1,
                  WSR_MOTIVO_NENHUM, 1,
                  {"actRead = 8", "actRead = 8", "Valor de buffer = " + delimited_frame("@@@@@@"),
                   "Valor de sResp = @@@@@@", "Except erro: '@@@@@@' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido",
                   kElse}},
        // A call takes a reply as it comes, even one that does not start with STX.
        WeighCase{"a_frame_without_stx_is_taken_as_it_is", {ScaleReply::bytes("X01234\x03")}, WSR_PESO, 1.234,
                  WSR_MOTIVO_NENHUM, 1, {"actRead = 7", "Valor de R = 01.234"}},
        WeighCase{"silence_logs_actread_0_twice", {ScaleReply::silence()}, WSR_SEM_LEITURA, 0,
                  WSR_MOTIVO_SILENCIO, 1, {"actRead = 0", "actRead = 0"}},
        WeighCase{"two_partial_replies_then_a_frame",
                  {ScaleReply::bytes("AB"), ScaleReply::bytes("ABC"), ScaleReply::bytes(kSeven)}, WSR_PESO, 1.234,
                  WSR_MOTIVO_NENHUM, 3, {"actRead = 2", "actRead = 3", "actRead = 7", "Valor de R = 01.234"}},
        WeighCase{"five_partial_replies",
                  {ScaleReply::bytes("1"), ScaleReply::bytes("12"), ScaleReply::bytes("123"),
                   ScaleReply::bytes("1234"), ScaleReply::bytes("123456"), ScaleReply::bytes(kSeven)},
                  WSR_SEM_LEITURA, 0, WSR_MOTIVO_RESPOSTAS_PARCIAIS, 5,
                  {"actRead = 1", "actRead = 2", "actRead = 3", "actRead = 4", "actRead = 6"}},
        WeighCase{"hang_up_during_the_read", {ScaleReply::hangup()}, WSR_SEM_LEITURA, 0,
                  WSR_MOTIVO_CONSULTA_FALHOU, 1, {}}),
    [](const auto& test) { return std::string(test.param.name); });

WsrLeitura weigh_ex(const std::string& port, const char* baud, const std::string& log_folder, uint32_t gap = 20) {
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, log_folder.c_str(), gap};
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;
    BuscaPesoEx(port.c_str(), baud, &opcoes, &leitura);
    return leitura;
}

TEST(Weighing, NoPortGivesTwoLinesAndNoReading) {
    TempFolder folder;
    const WsrLeitura leitura = weigh_ex("/dev/ttyNoSuchScale", "9600", folder.str());
    EXPECT_EQ(leitura.tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(leitura.motivo, WSR_MOTIVO_PORTA_INDISPONIVEL);
    EXPECT_EQ(leitura.consultas, 0);
    EXPECT_EQ(log_messages_in(folder.path()), opening("/dev/ttyNoSuchScale"));
}

TEST(Weighing, BusyPortGivesNoReadingAtOnce) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)});
    auto holder = SerialPort::open(scale.device_path(), "9600").port;
    ASSERT_NE(holder, nullptr);
    TempFolder folder;
    const auto start = Clock::now();
    const WsrLeitura leitura = weigh_ex(scale.device_path(), "9600", folder.str());
    EXPECT_LT(Clock::now() - start, 300ms);
    EXPECT_EQ(leitura.tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(leitura.motivo, WSR_MOTIVO_PORTA_INDISPONIVEL);
    EXPECT_EQ(scale.polls(), 0);
}

TEST(Weighing, BaudTextWithLettersFailsAfterTheOpenAndLeavesThePortFree) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)});
    TempFolder folder;
    const WsrLeitura leitura = weigh_ex(scale.device_path(), "96OO", folder.str());
    EXPECT_EQ(leitura.tipo, WSR_FALHA);
    EXPECT_TRUE(std::isnan(leitura.peso));
    EXPECT_STREQ(leitura.mensagem, "'96OO' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido");
    EXPECT_EQ(scale.polls(), 0);
    EXPECT_EQ(log_messages_in(folder.path()), opening(scale.device_path()));
    EXPECT_NE(SerialPort::open(scale.device_path(), "9600").port, nullptr);
}

TEST(Weighing, MissingLogFolderFailsBeforeAnyPollAndCreatesNothing) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)});
    TempFolder base;
    const fs::path missing = base.path() / "dados";
    const WsrLeitura leitura = weigh_ex(scale.device_path(), "9600", missing.string());
    EXPECT_EQ(leitura.tipo, WSR_FALHA);
    EXPECT_NE(std::string(leitura.mensagem).find(missing.string()), std::string::npos) << leitura.mensagem;
    EXPECT_EQ(leitura.consultas, 0);
    EXPECT_EQ(scale.polls(), 0);
    EXPECT_TRUE(fs::is_empty(base.path()));
}

TEST(Weighing, TwoCallsInARowOpenAndCloseThePortTwice) {
    ScaleEmulator scale({ScaleReply::bytes(kEight), ScaleReply::bytes(fixed_frame("02500"))});
    TempFolder folder;
    EXPECT_EQ(weigh_ex(scale.device_path(), "9600", folder.str()).peso, 1.234);
    EXPECT_EQ(weigh_ex(scale.device_path(), "9600", folder.str()).peso, 2.5);
    EXPECT_EQ(scale.polls(), 2);
    EXPECT_NE(SerialPort::open(scale.device_path(), "9600").port, nullptr);
}

TEST(Weighing, GapReturnsASevenByteReplyFast) {
    for (uint32_t gap : {0u, 20u}) {
        SCOPED_TRACE(gap);
        ScaleEmulator scale({ScaleReply::bytes(kSeven)});
        TempFolder folder;
        const auto start = Clock::now();
        EXPECT_EQ(weigh_ex(scale.device_path(), "9600", folder.str(), gap).peso, 1.234);
        const auto took = Clock::now() - start;
        if (gap == 0) {
            EXPECT_GE(took, 950ms);
        } else {
            EXPECT_LT(took, 100ms);
        }
    }
}

TEST(Weighing, ReportsTheLastReplyBytes) {
    ScaleEmulator scale({ScaleReply::bytes("AB"), ScaleReply::bytes(kSeven)});
    TempFolder folder;
    const WsrLeitura leitura = weigh_ex(scale.device_path(), "9600", folder.str());
    EXPECT_EQ(leitura.bytes_resposta, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(leitura.resposta), 8), kSeven + std::string(1, '\0'));
}

TEST(Weighing, SeparatorComesFromTheHostLocaleAtEachCall) {
    // A locale with a decimal comma, when the machine has one.
    const char* comma_locales[] = {"pt_BR.ISO-8859-1", "pt_BR", "de_DE", "pt_BR.UTF-8", "de_DE.UTF-8"};
    const char* chosen = nullptr;
    for (const char* name : comma_locales) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) { chosen = name; break; }
    }
    if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma installed";
    ScaleEmulator scale({ScaleReply::bytes(kSeven), ScaleReply::bytes(kEight)});
    TempFolder folder;
    EXPECT_EQ(weigh_ex(scale.device_path(), "9600", folder.str()).peso, 1.234);
    EXPECT_EQ(weigh_ex(scale.device_path(), "9600", folder.str()).peso, 1.234);
    std::setlocale(LC_NUMERIC, "C");
    const Lines lines = log_messages_in(folder.path());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Valor de R = 01,234"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Ajustando o separador decimal: 1,234"), lines.end());
}

// The C entry points with the default log: dados beside this test program.
class DefaultLog : public ::testing::Test {
protected:
    void SetUp() override {
        dados_ = fs::path(host_executable_folder()) / "dados";
        fs::remove_all(dados_);
    }
    void TearDown() override { fs::remove_all(dados_); }
    fs::path dados_;
};

TEST_F(DefaultLog, BuscaPesoReadsAndLogsBesideTheHost) {
    fs::create_directory(dados_);
    ScaleEmulator scale({ScaleReply::bytes(kEight)});
    EXPECT_EQ(::BuscaPeso(scale.device_path().c_str(), "9600"), 1.234);
    EXPECT_EQ(log_messages_in(dados_).size(), 7u);
}

TEST_F(DefaultLog, BuscaPesoExWithDefaultsWritesTheSameLog) {
    fs::create_directory(dados_);
    ScaleEmulator scale({ScaleReply::bytes(kEight)}, true);
    EXPECT_EQ(::BuscaPeso(scale.device_path().c_str(), "9600"), 1.234);
    const Lines plain = log_messages_in(dados_);
    fs::remove_all(dados_);
    fs::create_directory(dados_);
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;
    EXPECT_EQ(::BuscaPesoEx(scale.device_path().c_str(), "9600", nullptr, &leitura), WSR_PESO);
    EXPECT_EQ(leitura.peso, 1.234);
    EXPECT_EQ(log_messages_in(dados_), plain);
}

TEST_F(DefaultLog, RaisedFailuresBecomeNaNOrFalha) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)});
    // No dados folder: the first log line fails.
    EXPECT_TRUE(std::isnan(::BuscaPeso(scale.device_path().c_str(), "9600")));
    EXPECT_THROW(Wsr37100::BuscaPeso(scale.device_path(), "9600"), Falha);
    EXPECT_FALSE(fs::exists(dados_));
    EXPECT_EQ(scale.polls(), 0);
    fs::create_directory(dados_);
    EXPECT_TRUE(std::isnan(::BuscaPeso(scale.device_path().c_str(), "abc")));
    try {
        Wsr37100::BuscaPeso(scale.device_path(), "abc");
        ADD_FAILURE() << "no Falha";
    } catch (const Falha& failure) {
        EXPECT_STREQ(failure.what(), "'abc' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido");
    }
}

// The C++ convenience a host charges from: a number only for a weight.
TEST(Peso, GivesOnlyAWeightAndThrowsTheRest) {
    // The letter tells the scale's I from an unreadable reply (0): both are -1.
    struct Case { const char* what; std::string reply; std::optional<double> weight; Tipo tipo; char letra = 0;
                  unsigned scale_baud = 0; };
    const Case cases[] = {
        {"a weight", kSeven, 1.234, Tipo::Peso},
        {"an empty platter", fixed_frame("00000"), 0.0, Tipo::Peso},
        {"unstable", fixed_frame("IIIII"), std::nullopt, Tipo::Status, 'I'},
        {"negative", delimited_frame("NNNNNN"), std::nullopt, Tipo::Status, 'N'},
        {"overload", fixed_frame("SSSSS"), std::nullopt, Tipo::Status, 'S'},
        {"unstable after a tab", "\x02\tIBCD1\x03", std::nullopt, Tipo::Status, 'I'},
        {"a wrong baud rate", kSeven, std::nullopt, Tipo::Status, 0, 4800},
        {"an unplugged scale", "", std::nullopt, Tipo::SemLeitura},
    };
    Opcoes opcoes;
    opcoes.sem_log = true;
    opcoes.intervalo = 20ms;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<ScaleEmulator> scale;
        if (!c.reply.empty()) scale.emplace(std::vector<ScaleReply>{ScaleReply::bytes(c.reply)}, true);
        if (c.scale_baud != 0) scale->line_speed(c.scale_baud);
        const std::string port = scale ? scale->device_path() : "/dev/ttyNoSuchScale";
        try {
            const double weight = Peso(port, "9600", opcoes);
            EXPECT_EQ(std::optional<double>(weight), c.weight);
        } catch (const SemPeso& none) {
            EXPECT_FALSE(c.weight.has_value());
            EXPECT_EQ(none.leitura().tipo, c.tipo);
            EXPECT_EQ(none.leitura().letra, c.letra);
            const bool says_baud = std::string(none.what()).find("confira a velocidade") != std::string::npos;
            EXPECT_EQ(says_baud, c.tipo == Tipo::Status && c.letra == 0);
        }
    }
}

TEST_F(DefaultLog, NullTextsAreEmptyAndStartBalancaDoesNothing) {
    fs::create_directory(dados_);
    EXPECT_TRUE(::StartBalanca(nullptr, nullptr));
    EXPECT_TRUE(::StartBalanca("", ""));
    EXPECT_TRUE(Wsr37100::StartBalanca("COM1", "9600"));
    EXPECT_TRUE(fs::is_empty(dados_));
    // An empty port opens nothing: two lines, no reading.
    EXPECT_EQ(::BuscaPeso(nullptr, nullptr), 0.0);
    EXPECT_EQ(log_messages_in(dados_), opening(""));
}

// Records as hosts declare them: today's, packed up to mensagem (548 bytes, as
// an Object Pascal record, a VB6 type or a C# struct with Pack=4 lay it out),
// or too short. Only whole fields inside tamanho are written.
TEST(BuscaPesoEx, WritesOnlyTheWholeFieldsInsideTheCallersRecord) {
    constexpr std::size_t kPacked = offsetof(WsrLeitura, mensagem) + sizeof(WsrLeitura::mensagem);
    struct Case { const char* what; std::size_t size; int32_t result; };
    const Case cases[] = {
        {"today's record", sizeof(WsrLeitura), WSR_SEM_LEITURA},
        {"a packed record up to mensagem", kPacked, WSR_SEM_LEITURA},
        {"one byte short of mensagem's end", kPacked - 1, WSR_FALHA},
        {"room for tipo only", offsetof(WsrLeitura, peso), WSR_FALHA},
        {"nothing but tamanho", sizeof(uint32_t), WSR_FALHA},
    };
    const WsrOpcoes no_log{sizeof(WsrOpcoes), WSR_LOG_NENHUM, nullptr, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> record(sizeof(WsrLeitura) + 16, 0xAB);
        auto* leitura = reinterpret_cast<WsrLeitura*>(record.data());
        leitura->tamanho = static_cast<uint32_t>(c.size);
        EXPECT_EQ(::BuscaPesoEx("/dev/ttyNoSuchScale", "9600", &no_log, leitura), c.result);
        EXPECT_EQ(std::count(record.begin() + static_cast<std::ptrdiff_t>(c.size), record.end(), 0xAB),
                  static_cast<std::ptrdiff_t>(record.size() - c.size));
        if (c.size >= offsetof(WsrLeitura, peso)) {
            EXPECT_EQ(leitura->tipo, c.result);
        }
        if (c.size > offsetof(WsrLeitura, mensagem)) {
            const std::string mensagem(leitura->mensagem, strnlen(leitura->mensagem, c.size - offsetof(WsrLeitura, mensagem)));
            EXPECT_LT(offsetof(WsrLeitura, mensagem) + mensagem.size(), c.size);  // its NUL is inside too
            EXPECT_NE(mensagem.find(c.result == WSR_FALHA ? "tamanho" : "/dev/ttyNoSuchScale"), std::string::npos);
        }
        if (c.size == sizeof(WsrLeitura)) {
            EXPECT_EQ(leitura->motivo, WSR_MOTIVO_PORTA_INDISPONIVEL);
            EXPECT_EQ(leitura->causa, WSR_CAUSA_PORTA_INEXISTENTE);
            EXPECT_EQ(leitura->erro_sistema, ENOENT);
        }
    }
    EXPECT_EQ(::BuscaPesoEx("COM1", "9600", nullptr, nullptr), -1);
}

TEST(BuscaPesoEx, BadOptionsAreAFailureAndACutFieldTakesItsDefault) {
    const WsrOpcoes no_folder{sizeof(WsrOpcoes), WSR_LOG_PASTA, nullptr, 0};
    const WsrOpcoes unknown{sizeof(WsrOpcoes), 7, nullptr, 0};
    // tamanho ends inside pasta_log: half a pointer must not be used.
    const WsrOpcoes cut{static_cast<uint32_t>(offsetof(WsrOpcoes, pasta_log) + 2), WSR_LOG_PASTA, "/tmp", 0};
    for (const WsrOpcoes* opcoes : {&no_folder, &unknown, &cut}) {
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        EXPECT_EQ(::BuscaPesoEx("COM1", "9600", opcoes, &leitura), WSR_FALHA);
        EXPECT_NE(std::string(leitura.mensagem).find("Op\xE7\xF5" "es inv\xE1lidas"), std::string::npos);
        uint64_t linhas = 99;
        EXPECT_EQ(::WsrLogDescartadas(opcoes, &linhas, nullptr, 0), -1);
        EXPECT_EQ(linhas, 0u);
    }
    EXPECT_EQ(::WsrLogDescartadas(nullptr, nullptr, nullptr, 0), -1);
}

TEST(BuscaPesoEx, LongMessageIsCutWithItsNulAndTheReplyTailIsZero) {
    const std::string deep_folder = "/nonexistent/" + std::string(700, 'x');
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, deep_folder.c_str(), 20};
    WsrLeitura leitura;
    std::memset(&leitura, 0xAB, sizeof leitura);
    leitura.tamanho = sizeof leitura;
    EXPECT_EQ(::BuscaPesoEx("COM1", "9600", &opcoes, &leitura), WSR_FALHA);
    EXPECT_EQ(strnlen(leitura.mensagem, sizeof leitura.mensagem), sizeof leitura.mensagem - 1);

    ScaleEmulator scale({ScaleReply::bytes(kSeven)});
    opcoes.log = WSR_LOG_NENHUM;
    std::memset(&leitura, 0xAB, sizeof leitura);
    leitura.tamanho = sizeof leitura;
    EXPECT_EQ(::BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura), WSR_PESO);
    EXPECT_EQ(leitura.bytes_resposta, 7);
    EXPECT_EQ(leitura.resposta[7], 0);
    EXPECT_EQ(leitura.mensagem[0], '\0');
}

TEST(BuscaPesoEx, OlderOptionsStructTakesDefaultsForTheRest) {
    ScaleEmulator scale({ScaleReply::bytes(kSeven)});
    // A caller that knows only tamanho and log: no gap, so the full second.
    WsrOpcoes opcoes{offsetof(WsrOpcoes, pasta_log), WSR_LOG_NENHUM, "ignored", 20};
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;
    const auto start = Clock::now();
    EXPECT_EQ(::BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura), WSR_PESO);
    EXPECT_GE(Clock::now() - start, 950ms);
}

TEST(CppApi, BuscaPesoExDistinguishesTheKinds) {
    ScaleEmulator scale({ScaleReply::bytes(kSeven), ScaleReply::bytes(fixed_frame("SSSSS")), ScaleReply::silence()});
    const Opcoes opcoes{"", true, 20ms};
    const Leitura weight = BuscaPesoEx(scale.device_path(), "9600", opcoes);
    EXPECT_EQ(weight.tipo, Tipo::Peso);
    EXPECT_EQ(weight.resposta, std::vector<unsigned char>(kSeven.begin(), kSeven.end()));
    EXPECT_EQ(BuscaPesoEx(scale.device_path(), "9600", opcoes).tipo, Tipo::Status);
    const Leitura none = BuscaPesoEx(scale.device_path(), "9600", opcoes);
    EXPECT_EQ(none.tipo, Tipo::SemLeitura);
    EXPECT_EQ(none.motivo, Motivo::Silencio);
    EXPECT_THROW(BuscaPesoEx(scale.device_path(), "x", opcoes), Falha);
}

}  // namespace
}  // namespace Wsr37100
