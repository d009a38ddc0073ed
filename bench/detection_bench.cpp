// What finding the scale costs: one port with the scale at each rate (the
// wrong rates answered with garbage, as the scale's reply at another speed
// looks), a port with nothing on it, and eight ports searched at once.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>
#include <vector>

#include "scale_emulator.hpp"
#include "wsr37100.h"

namespace {

using namespace Wsr37100;

constexpr const char* kRates = "2400,4800,9600,19200";

WsrDeteccao detect(const std::string& port) {
    WsrDeteccao found{};
    found.tamanho = sizeof found;
    WsrDetecta(port.c_str(), kRates, 0, &found);
    return found;
}

std::unique_ptr<ScaleEmulator> scale_at(unsigned rate) {
    auto scale = std::make_unique<ScaleEmulator>(std::vector<ScaleReply>{ScaleReply::bytes(delimited_frame(" 1.234"))}, true);
    scale->line_speed(rate);
    scale->pace(rate);  // the reply takes its wire time
    return scale;
}

void BM_FindOnePort(benchmark::State& state) {
    const auto rate = static_cast<unsigned>(state.range(0));
    const auto scale = scale_at(rate);
    for (auto _ : state) {
        const WsrDeteccao found = detect(scale->device_path());
        if (found.velocidade != static_cast<int32_t>(rate)) state.SkipWithError("the scale was not found at its rate");
    }
}
BENCHMARK(BM_FindOnePort)->Arg(2400)->Arg(4800)->Arg(9600)->Arg(19200)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(20);

void BM_SilentPort(benchmark::State& state) {
    ScaleEmulator nothing({ScaleReply::silence()}, true);
    for (auto _ : state) {
        if (detect(nothing.device_path()).resultado != WSR_DETECCAO_NAO_ENCONTRADA) state.SkipWithError("found something");
    }
}
BENCHMARK(BM_SilentPort)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Eight ports, one thread each, as `wsr37100 detect` searches them; the scales at every rate.
void BM_FindEightPorts(benchmark::State& state) {
    const unsigned rates[] = {2400, 4800, 9600, 19200, 2400, 4800, 9600, 19200};
    std::vector<std::unique_ptr<ScaleEmulator>> scales;
    for (unsigned rate : rates) scales.push_back(scale_at(rate));
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (const auto& scale : scales) threads.emplace_back([&scale] { detect(scale->device_path()); });
        for (auto& thread : threads) thread.join();
    }
}
BENCHMARK(BM_FindEightPorts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace
