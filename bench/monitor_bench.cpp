// What following a scale costs: readings a second against the wire's own
// pace, time from a settled answer to the callback, stop time, idle CPU.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "scale_emulator.hpp"
#include "wsr37100.h"

namespace {

using namespace Wsr37100;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBaud = 9600;
// ENQ out and 8 bytes back, 10 bits a byte.
constexpr double kWireSecondsPerReading = 9.0 * 10.0 / kBaud;

WsrOpcoes monitor_options() {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    opcoes.quadro = WSR_QUADRO_8;
    return opcoes;
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void count_change(const WsrLeitura*, void* context) { ++*static_cast<std::atomic<long>*>(context); }

// Every reading differs from the last, so every one reaches the callback.
void BM_Monitor_ReadingsPerSecondAt9600(benchmark::State& state) {
    ScaleEmulator scale({ScaleReply::bytes(delimited_frame(" 1.000")), ScaleReply::bytes(delimited_frame(" 2.000"))},
                        true);
    scale.pace(kBaud);
    const WsrOpcoes opcoes = monitor_options();
    double rate = 0;
    for (auto _ : state) {
        std::atomic<long> changes{0};
        WsrMonitor* monitor = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes, &count_change, &changes);
        std::this_thread::sleep_for(200ms);  // settled in
        const long first = changes;
        const auto start = Clock::now();
        std::this_thread::sleep_for(2s);
        const long counted = changes - first;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        WsrMonitorEncerra(monitor);
        rate = static_cast<double>(counted) / seconds;
    }
    state.counters["readings_per_s"] = rate;
    state.counters["wire_allows_per_s"] = 1.0 / kWireSecondsPerReading;
    state.counters["share_of_wire"] = rate * kWireSecondsPerReading;
}

struct Settling {
    std::mutex lock;
    Clock::time_point stable_sent{};
    Clock::time_point reported{};
    int polls_when_reported = 0;
};

void on_settled(const WsrLeitura* leitura, void* context) {
    auto* settling = static_cast<Settling*>(context);
    if (leitura->tipo != WSR_PESO) return;
    std::lock_guard guard(settling->lock);
    if (settling->reported == Clock::time_point{}) settling->reported = Clock::now();
}

// From the moment the scale starts sending its first settled answer to the
// callback that reports it, in polls of the wire's pace.
void BM_Monitor_SettledAnswerToCallback(benchmark::State& state) {
    std::vector<double> polls;
    for (auto _ : state) {
        std::vector<ScaleReply> script(5, ScaleReply::bytes(delimited_frame("IIIIII")));
        script.push_back(ScaleReply::bytes(delimited_frame(" 1.234")));
        ScaleEmulator scale(script, false);
        scale.pace(kBaud);
        Settling settling;
        scale.on_poll([&](int poll, const ScaleReply&) {
            if (poll != 6) return;
            std::lock_guard guard(settling.lock);
            settling.stable_sent = Clock::now();
        });
        const WsrOpcoes opcoes = monitor_options();
        WsrMonitor* monitor = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes, &on_settled, &settling);
        while (scale.polls() < 7) std::this_thread::sleep_for(1ms);
        WsrMonitorEncerra(monitor);
        std::lock_guard guard(settling.lock);
        const double seconds = std::chrono::duration<double>(settling.reported - settling.stable_sent).count();
        polls.push_back(seconds / kWireSecondsPerReading);
    }
    std::sort(polls.begin(), polls.end());
    state.counters["median_polls"] = polls[polls.size() / 2];
    state.counters["max_polls"] = polls.back();
}

// Stops at random moments of a monitor's life, a silent scale's read included.
void BM_Monitor_Stop(benchmark::State& state) {
    std::mt19937 random(42);
    std::vector<double> stops;
    for (auto _ : state) {
        ScaleEmulator scale({ScaleReply::bytes(delimited_frame(" 1.000")), ScaleReply::silence()}, true);
        const WsrOpcoes opcoes = monitor_options();
        WsrMonitor* monitor = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 1'500'000));
        const auto start = Clock::now();
        WsrMonitorEncerra(monitor);
        stops.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(stops.begin(), stops.end());
    state.counters["median_ms"] = stops[stops.size() / 2];
    state.counters["max_ms"] = stops.back();
}

// A monitor waiting on a silent scale, and on a missing one.
void idle(benchmark::State& state, bool missing) {
    double share = 0;
    for (auto _ : state) {
        ScaleEmulator scale({}, false);
        const std::string port = missing ? "/dev/ttyNoSuchScale" : scale.device_path();
        const WsrOpcoes opcoes = monitor_options();
        WsrMonitor* monitor = WsrMonitorInicia(port.c_str(), "9600", &opcoes, nullptr, nullptr);
        const double before = cpu_seconds();
        std::this_thread::sleep_for(10s);
        share = (cpu_seconds() - before) / 10.0;
        WsrMonitorEncerra(monitor);
    }
    state.counters["cpu_share"] = share;
}
void BM_Monitor_SilentScaleFor10s(benchmark::State& state) { idle(state, false); }
void BM_Monitor_MissingScaleFor10s(benchmark::State& state) { idle(state, true); }

}  // namespace

BENCHMARK(BM_Monitor_ReadingsPerSecondAt9600)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Monitor_SettledAnswerToCallback)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Monitor_Stop)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_Monitor_SilentScaleFor10s)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Monitor_MissingScaleFor10s)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
