// Faults the wire and the machine can throw at a reading: each gives a clear result, never a crash or a hang.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

#include "replies/replies.hpp"
#include "scale_emulator.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100.h"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::log_messages_in;
using testing::TempFolder;
using Clock = std::chrono::steady_clock;

struct Timed {
    WsrLeitura reading;
    std::chrono::milliseconds took;
};

Timed weigh(const std::string& port, const std::string& log_folder, uint32_t gap = 0) {
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, log_folder.c_str(), gap};
    Timed result{};
    result.reading.tamanho = sizeof result.reading;
    const auto start = Clock::now();
    BuscaPesoEx(port.c_str(), "9600", &opcoes, &result.reading);
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return result;
}

size_t open_descriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(WireFaults, HangUpDuringAReadReturnsAtOnce) {
    ScaleReply unplugged = ScaleReply::bytes("\x02" "1");
    unplugged.hang_up = true;
    for (const ScaleReply& reply : {ScaleReply::hangup(), unplugged}) {
        SCOPED_TRACE(reply.describe());
        ScaleEmulator scale({reply});
        TempFolder folder;
        const Timed result = weigh(scale.device_path(), folder.str());
        EXPECT_EQ(result.reading.tipo, WSR_SEM_LEITURA);
        EXPECT_EQ(result.reading.motivo, WSR_MOTIVO_CONSULTA_FALHOU);
        EXPECT_EQ(result.reading.peso, 0.0);
        EXPECT_LT(result.took, 300ms);
    }
}

TEST(WireFaults, DeviceVanishingBetweenTwoCalls) {
    ScaleEmulator scale({ScaleReply::bytes(delimited_frame(" 1.234"))});
    TempFolder folder;
    EXPECT_EQ(weigh(scale.device_path(), folder.str()).reading.peso, 1.234);
    scale.vanish();
    const Timed result = weigh(scale.device_path(), folder.str());
    EXPECT_EQ(result.reading.tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(result.reading.motivo, WSR_MOTIVO_PORTA_INDISPONIVEL);
    EXPECT_LT(result.took, 100ms);
}

TEST(WireFaults, TrickleOfOneByteEvery300ms) {
    ScaleReply trickle;
    const std::string frame = delimited_frame(" 1.234");
    for (char byte : frame) trickle.chunks.push_back({300ms, std::string(1, byte)});
    ScaleEmulator scale({trickle}, true);
    TempFolder folder;
    const Timed result = weigh(scale.device_path(), folder.str());
    // Each poll gathers three or four bytes: never a whole frame, never a hang.
    EXPECT_EQ(result.reading.tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(result.reading.motivo, WSR_MOTIVO_RESPOSTAS_PARCIAIS);
    EXPECT_EQ(result.reading.consultas, 5);
    EXPECT_LT(result.took, 8000ms);  // five reads of a second: a guard against a hang, with room for a loaded machine
}

TEST(WireFaults, FloodWithoutPause) {
    ScaleEmulator scale({ScaleReply::bytes(std::string(4096, '1'))}, true);
    TempFolder folder;
    for (int call = 0; call < 3; ++call) {
        const Timed result = weigh(scale.device_path(), folder.str());
        // Eight digits, no STX: grams.
        EXPECT_EQ(result.reading.peso, 11111.111);
        EXPECT_EQ(result.reading.consultas, 1);
        EXPECT_LT(result.took, 300ms);
    }
}

TEST(WireFaults, GarbageOfEveryLength) {
    std::mt19937 random(37100);
    for (size_t length = 1; length <= 8; ++length) {
        for (int sample = 0; sample < 4; ++sample) {
            std::string garbage(length, '\0');
            for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
            SCOPED_TRACE("length " + std::to_string(length));
            ScaleEmulator scale({ScaleReply::bytes(garbage)}, true);
            TempFolder folder;
            const Timed result = weigh(scale.device_path(), folder.str(), 20);
            const WsrLeitura& r = result.reading;
            ASSERT_NE(r.tipo, WSR_FALHA) << r.mensagem;
            ASSERT_TRUE(std::isfinite(r.peso));
            if (r.tipo == WSR_STATUS) {
                EXPECT_TRUE(r.peso == -1 || r.peso == -2 || r.peso == -10);
            }
            if (length < 7) {
                EXPECT_EQ(r.motivo, WSR_MOTIVO_RESPOSTAS_PARCIAIS);
            }
            EXPECT_GE(log_messages_in(folder.path()).size(), 4u);  // every line whole
        }
    }
}

TEST(WireFaults, FramesOfSeparatorsSignsAndBlanks) {
    struct Case { std::string reply; double weight; bool status; };
    const Case cases[] = {
        {fixed_frame(",,,,,"), -1, true},       {fixed_frame("....."), -1, true},
        {fixed_frame("     "), -1, true},       {fixed_frame("+1234"), 1.234, false},
        {fixed_frame("--123"), -1, true},       {fixed_frame("-0000"), 0.0, false},
        {delimited_frame("------"), -1, true},  {delimited_frame("    -5"), -0.005, false},
        {delimited_frame(" +1.5 "), 1.5, false}, {delimited_frame("1,2.3,"), -1, true},
        {delimited_frame("      "), -1, true},  {delimited_frame("\t\t\t\t\t\t"), -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TempFolder folder;
        const std::vector<unsigned char> bytes(c.reply.begin(), c.reply.end());
        const Decoded decoded = c.reply.size() == 7
                                    ? decode_fixed_frame(bytes, DailyLog::in_folder(folder.str()), '.')
                                    : decode_delimited_frame(bytes, DailyLog::in_folder(folder.str()), '.');
        EXPECT_EQ(decoded.weight, c.weight);
        EXPECT_EQ(decoded.status, c.status);
    }
}

TEST(LogFaults, EachIsAClearFailureAndCreatesNothing) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& folder, const fs::path& file)> break_it;
        const char* reason;
        int32_t read_back;  // what WsrLogDescartadas makes of it: 0, nothing dropped; 1, unreadable, with the reason
    };
    const Case cases[] = {
        {"folder removed between calls", [](const fs::path& folder, const fs::path&) { fs::remove_all(folder); },
         "inexistente", 0},
        {"file is a directory", [](const fs::path&, const fs::path& file) { fs::create_directory(file); },
         "\xE9 uma pasta", 1},
        {"file is a FIFO nobody reads", [](const fs::path&, const fs::path& file) {
             ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
         }, "dispositivo inexistente", 0},
        {"disk full", [](const fs::path&, const fs::path& file) {
             // The device /dev/full is, made in the log's place (as root, like the suite).
             ASSERT_EQ(::mknod(file.c_str(), S_IFCHR | 0666, ::makedev(1, 7)), 0);
         }, "sem espa\xE7o", 0},
        // Its target is not written to: a link is never followed.
        {"a link planted as the day's file", [](const fs::path& folder, const fs::path& file) {
             fs::create_symlink(folder.parent_path() / "target", file);
         }, "link simb\xF3lico", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScaleEmulator scale({ScaleReply::bytes(delimited_frame(" 1.234"))}, true);
        TempFolder base;
        const fs::path folder = base.path() / "dados";
        fs::create_directory(folder);
        EXPECT_EQ(weigh(scale.device_path(), folder.string()).reading.peso, 1.234);
        const fs::path file = DailyLog::in_folder(folder.string()).current_file();
        fs::remove(file);
        c.break_it(folder, file);
        const auto entries = std::distance(fs::recursive_directory_iterator(base.path()), {});
        const Timed result = weigh(scale.device_path(), folder.string());
        EXPECT_EQ(result.reading.tipo, WSR_FALHA);
        EXPECT_NE(std::string(result.reading.mensagem).find(c.reason), std::string::npos) << result.reading.mensagem;
        EXPECT_EQ(result.reading.consultas, 0);
        EXPECT_LT(result.took, 300ms);
        // Reading back what the day dropped neither blocks on it, follows it, nor creates anything.
        const std::string folder_text = folder.string();
        const WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, folder_text.c_str(), 0};
        uint64_t linhas = 99;
        char mensagem[WSR_MENSAGEM_MAX];
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(::WsrLogDescartadas(&opcoes, &linhas, mensagem, sizeof mensagem), c.read_back) << mensagem;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 300ms);
        EXPECT_EQ(linhas, 0u);
        EXPECT_EQ(std::string(mensagem).find(c.reason) != std::string::npos, c.read_back == 1) << mensagem;
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(base.path()), {}), entries);
    }
    // A read-only file stops no one running as root, so it is not among the cases.
}

TEST(HostFaults, ManyThreadsAtOnceEachOnItsOwnScale) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 25;
    std::vector<std::unique_ptr<ScaleEmulator>> scales;
    for (int t = 0; t < kThreads; ++t) {
        scales.push_back(std::make_unique<ScaleEmulator>(
            std::vector<ScaleReply>{ScaleReply::bytes(fixed_frame_for(t + 1.25))}, true));
    }
    TempFolder folder;
    const size_t descriptors = open_descriptors();
    std::vector<int> right(kThreads, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int call = 0; call < kCalls; ++call) {
                if (weigh(scales[t]->device_path(), folder.str(), 20).reading.peso == t + 1.25) ++right[t];
            }
        });
    }
    for (auto& caller : callers) caller.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(right[t], kCalls) << "thread " << t;
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(log_messages_in(folder.path()).size(), static_cast<size_t>(kThreads * kCalls * 4));
}

}  // namespace
}  // namespace Wsr37100
