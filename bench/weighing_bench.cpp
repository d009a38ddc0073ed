// What one reading costs against an instantly answering scale, beside a bare
// open-configure-poll-read-close that has none of the module's code.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "log/daily_log.hpp"
#include "scale_emulator.hpp"
#include "tcp_scale.hpp"
#include "wsr37100.h"

namespace {

using namespace Wsr37100;
namespace fs = std::filesystem;

const std::string kEight = delimited_frame(" 1.234");
const std::string kSeven = fixed_frame("01234");

// The log of BuscaPeso goes to dados beside this program.
struct DadosBesideHost {
    DadosBesideHost() : path(fs::path(host_executable_folder()) / "dados") { fs::create_directories(path); }
    ~DadosBesideHost() { fs::remove_all(path); }
    fs::path path;
};

void BM_BuscaPeso_EightBytes(benchmark::State& state) {
    DadosBesideHost dados;
    ScaleEmulator scale({ScaleReply::bytes(kEight)}, true);
    for (auto _ : state) {
        const double weight = BuscaPeso(scale.device_path().c_str(), "9600");
        if (weight != 1.234) state.SkipWithError("wrong weight");
        benchmark::DoNotOptimize(weight);
    }
}

// The same reading with the log in a folder given by the caller.
void BM_BuscaPesoEx_EightBytes_LogFolder(benchmark::State& state) {
    DadosBesideHost dados;
    const std::string folder = dados.path.string();
    ScaleEmulator scale({ScaleReply::bytes(kEight)}, true);
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_PASTA, folder.c_str(), 0, 0, 0, 0};
    for (auto _ : state) {
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura);
        if (leitura.peso != 1.234) state.SkipWithError("wrong weight");
    }
}

// One log line: the day's file opened, appended to with one write, closed.
void BM_GravaLog(benchmark::State& state) {
    DadosBesideHost dados;
    const DailyLog log = DailyLog::beside_host();
    for (auto _ : state) log.GravaLog("Valor de sResp = 1.234");
}

// The same reading without the log: what the serial side and decoding cost.
void BM_BuscaPesoEx_EightBytes_NoLog(benchmark::State& state) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)}, true);
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_NENHUM, nullptr, 0, 0, 0, 0};
    for (auto _ : state) {
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura);
        if (leitura.peso != 1.234) state.SkipWithError("wrong weight");
    }
}

// The same reading through raw TCP on loopback: connect, ENQ, 8 bytes, close.
void BM_BuscaPesoEx_EightBytes_NoLog_Tcp(benchmark::State& state) {
    TcpScale scale({ScaleReply::bytes(kEight)}, true);
    const std::string port = scale.address();
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    for (auto _ : state) {
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        BuscaPesoEx(port.c_str(), "9600", &opcoes, &leitura);
        if (leitura.peso != 1.234) state.SkipWithError("wrong weight");
    }
}

// Open, set raw 9600 8N1, send ENQ, read 8 bytes, close: the floor any module pays.
void BM_BarePoll_EightBytes(benchmark::State& state) {
    ScaleEmulator scale({ScaleReply::bytes(kEight)}, true);
    const std::string path = scale.device_path();
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B9600);
        ::tcsetattr(fd, TCSANOW, &settings);
        const unsigned char enq = 0x05;
        (void)!::write(fd, &enq, 1);
        unsigned char buffer[8];
        size_t got = 0;
        while (got < sizeof buffer) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 1000) <= 0) break;
            const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
            if (n > 0) got += static_cast<size_t>(n);
        }
        ::close(fd);
        if (got != 8) state.SkipWithError("short read");
    }
}

void seven_bytes(benchmark::State& state, uint32_t gap) {
    ScaleEmulator scale({ScaleReply::bytes(kSeven)}, true);
    WsrOpcoes opcoes{sizeof(WsrOpcoes), WSR_LOG_NENHUM, nullptr, gap, 0, 0, 0};
    for (auto _ : state) {
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura);
        if (leitura.peso != 1.234) state.SkipWithError("wrong weight");
    }
}

void BM_SevenBytes_NoGap(benchmark::State& state) { seven_bytes(state, 0); }
void BM_SevenBytes_Gap20ms(benchmark::State& state) { seven_bytes(state, 20); }

}  // namespace

BENCHMARK(BM_BuscaPeso_EightBytes)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BuscaPesoEx_EightBytes_NoLog)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BuscaPesoEx_EightBytes_NoLog_Tcp)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BuscaPesoEx_EightBytes_LogFolder)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_GravaLog)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BarePoll_EightBytes)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SevenBytes_Gap20ms)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_SevenBytes_NoGap)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(1);

BENCHMARK_MAIN();
