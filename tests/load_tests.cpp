// Load: many threads weighing at once, on their own scales and on one shared port.
// WSR37100_LOAD_CALLS sets the calls per thread (200; fewer under valgrind).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "scale_emulator.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100.h"

namespace Wsr37100 {
namespace {

namespace fs = std::filesystem;
using testing::log_messages_in;
using testing::TempFolder;

int calls_per_thread() {
    const char* value = std::getenv("WSR37100_LOAD_CALLS");
    return value != nullptr ? std::atoi(value) : 200;
}

size_t open_descriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Lines a reading writes with an 8-byte reply, and when the port is busy.
constexpr size_t kLinesPerReading = 7;
constexpr size_t kLinesWhenBusy = 2;

TEST(Load, SixteenScalesAndFourThreadsSharingOnePort) {
    constexpr int kOwnScales = 16;
    constexpr int kSharing = 4;
    const int calls = calls_per_thread();
    std::vector<std::unique_ptr<ScaleEmulator>> scales;
    for (int t = 0; t <= kOwnScales; ++t) {
        scales.push_back(std::make_unique<ScaleEmulator>(
            std::vector<ScaleReply>{ScaleReply::bytes(delimited_frame_for(t + 0.5))}, true));
    }
    const ScaleEmulator& shared = *scales[kOwnScales];
    TempFolder folder;
    const std::string log = folder.str();
    const size_t descriptors = open_descriptors();

    std::atomic<int> wrong{0};
    std::atomic<int> weighed{0};
    std::atomic<int> busy{0};
    auto caller = [&](const ScaleEmulator& scale, double expected) {
        WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, log.c_str(), 0};
        for (int call = 0; call < calls; ++call) {
            WsrLeitura reading{};
            reading.tamanho = sizeof reading;
            BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &reading);
            if (reading.tipo == WSR_PESO && reading.peso == expected) {
                ++weighed;
            } else if (reading.tipo == WSR_SEM_LEITURA && reading.motivo == WSR_MOTIVO_PORTA_INDISPONIVEL &&
                       &scale == &shared) {
                ++busy;  // another caller held the shared port
            } else {
                ++wrong;
            }
        }
    };

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kOwnScales; ++t) threads.emplace_back(caller, std::cref(*scales[t]), t + 0.5);
    for (int t = 0; t < kSharing; ++t) threads.emplace_back(caller, std::cref(shared), kOwnScales + 0.5);
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const int total = (kOwnScales + kSharing) * calls;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(weighed + busy, total);
    EXPECT_GE(weighed.load(), kOwnScales * calls);
    // Every line whole (checked while reading) and none lost.
    EXPECT_EQ(log_messages_in(folder.path()).size(), weighed * kLinesPerReading + busy * kLinesWhenBusy);
    EXPECT_EQ(open_descriptors(), descriptors);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::cout << "load: " << total << " calls in " << seconds << " s = " << total / seconds << " calls/s; "
              << busy << " excluded on the shared port; peak RSS " << usage.ru_maxrss / 1024 << " MiB\n";
    ::testing::Test::RecordProperty("calls_per_second", static_cast<int>(total / seconds));
    ::testing::Test::RecordProperty("peak_rss_kib", static_cast<int>(usage.ru_maxrss));
}

}  // namespace
}  // namespace Wsr37100
