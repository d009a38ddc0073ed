// A Windows program that the Wine tests drive: a serial poll, or a host that
// loads the DLL and weighs through it; each prints one line.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/serial/serial_port.hpp"
#include "wsr37100_falha.hpp"
#include "wsr37100.h"

namespace {

int poll_once(const char* port, const char* baud, long gap_ms) {
    using namespace Wsr37100;
    try {
        auto link = SerialPort::open(port, baud, LinkOptions{std::chrono::milliseconds(gap_ms)}).port;
        if (!link) {
            std::printf("none\n");
            return 0;
        }
        ReceiveBuffer buffer{};
        const auto start = std::chrono::steady_clock::now();
        const auto count = link->poll(buffer);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (!count) {
            std::printf("failed ms=%lld\n", static_cast<long long>(took.count()));
            return 0;
        }
        std::printf("count=%u ms=%lld bytes=", static_cast<unsigned>(*count), static_cast<long long>(took.count()));
        for (std::size_t i = 0; i < *count; ++i) std::printf("%02X", buffer[i]);
        std::printf("\n");
    } catch (const Falha& failure) {
        std::printf("raised %s\n", failure.what());
    }
    return 0;
}

using BuscaPesoFn = double(__stdcall*)(const char*, const char*);
using StartBalancaFn = bool(__stdcall*)(const char*, const char*);

// What a Delphi, VB6 or C host does: LoadLibrary and GetProcAddress by plain name.
int weigh(const char* dll, const char* port, const char* baud) {
    HMODULE module = ::LoadLibraryA(dll);
    if (module == nullptr) {
        std::printf("noload %lu\n", ::GetLastError());
        return 1;
    }
    auto busca_peso = reinterpret_cast<BuscaPesoFn>(reinterpret_cast<void*>(::GetProcAddress(module, "BuscaPeso")));
    auto start_balanca =
        reinterpret_cast<StartBalancaFn>(reinterpret_cast<void*>(::GetProcAddress(module, "StartBalanca")));
    if (busca_peso == nullptr || start_balanca == nullptr) {
        std::printf("noexport\n");
        return 1;
    }
    const bool started = start_balanca(port, baud);
    const double weight = busca_peso(port, baud);
    if (weight != weight) {
        std::printf("start=%d result=nan\n", started ? 1 : 0);
    } else {
        std::printf("start=%d result=%.3f\n", started ? 1 : 0, weight);
    }
    ::FreeLibrary(module);
    return 0;
}

using BuscaPesoExFn = int32_t(__stdcall*)(const char*, const char*, const WsrOpcoes*, WsrLeitura*);

// A host whose reading record is `size` bytes (548: a packed declaration that
// ends with mensagem): prints what came back and whether anything past the
// record was written.
int record(const char* dll, const char* port, unsigned size) {
    HMODULE module = ::LoadLibraryA(dll);
    auto busca_peso_ex = module == nullptr ? nullptr
                                           : reinterpret_cast<BuscaPesoExFn>(reinterpret_cast<void*>(
                                                 ::GetProcAddress(module, "BuscaPesoEx")));
    if (busca_peso_ex == nullptr) {
        std::printf("noexport\n");
        return 1;
    }
    std::vector<unsigned char> bytes(sizeof(WsrLeitura) + 16, 0xAB);
    auto* leitura = reinterpret_cast<WsrLeitura*>(bytes.data());
    leitura->tamanho = size;
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    opcoes.intervalo_ms = 20;
    const int32_t result = busca_peso_ex(port, "9600", &opcoes, leitura);
    bool intact = true;
    for (std::size_t i = size; i < bytes.size(); ++i) intact = intact && bytes[i] == 0xAB;
    std::printf("sizeof=%u result=%d peso=%.3f intact=%d\n", static_cast<unsigned>(sizeof(WsrLeitura)),
                static_cast<int>(result), result == WSR_FALHA ? 0.0 : leitura->peso, intact ? 1 : 0);
    ::FreeLibrary(module);
    return 0;
}

using DetectaFn = int32_t(__stdcall*)(const char*, const char*, uint32_t, WsrDeteccao*);

// Finds the scale on the port at the rates: what the record says.
int detect(const char* dll, const char* port, const char* rates) {
    HMODULE module = ::LoadLibraryA(dll);
    auto detecta = module == nullptr ? nullptr
                                     : reinterpret_cast<DetectaFn>(reinterpret_cast<void*>(::GetProcAddress(module, "WsrDetecta")));
    if (detecta == nullptr) {
        std::printf("noexport\n");
        return 1;
    }
    WsrDeteccao found{};
    found.tamanho = sizeof found;
    const int32_t result = detecta(port, rates, 0, &found);
    std::printf("result=%d rate=%d frame=%d weight=%.3f tried=%d heard=%d bytes=%d sizeof=%u\n",
                static_cast<int>(result), static_cast<int>(found.velocidade), static_cast<int>(found.quadro), found.peso,
                static_cast<int>(found.velocidades_testadas), static_cast<int>(found.veredito),
                static_cast<int>(found.bytes_lidos), static_cast<unsigned>(sizeof found));
    ::FreeLibrary(module);
    return 0;
}

using MonitorIniciaFn = WsrMonitor*(__stdcall*)(const char*, const char*, const WsrOpcoes*, WsrAoMudar, void*);
using MonitorUltimaFn = int32_t(__stdcall*)(WsrMonitor*, WsrLeitura*);
using MonitorEncerraFn = void(__stdcall*)(WsrMonitor*);

struct Changes {
    HANDLE second = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONG count = 0;
    double weights[2] = {0, 0};
};

// The host's callback, on the monitor's thread; __stdcall on 32-bit Windows.
void WSR37100_CALL on_change(const WsrLeitura* leitura, void* context) {
    auto* changes = static_cast<Changes*>(context);
    const LONG number = ::InterlockedIncrement(&changes->count);
    if (number <= 2) changes->weights[number - 1] = leitura->peso;
    if (number == 2) ::SetEvent(changes->second);
}

// A host that follows the scale: waits for two changes, asks the latest, stops.
int monitor(const char* dll, const char* port) {
    HMODULE module = ::LoadLibraryA(dll);
    const auto find = [module](const char* name) {
        return module == nullptr ? nullptr : reinterpret_cast<void*>(::GetProcAddress(module, name));
    };
    auto start = reinterpret_cast<MonitorIniciaFn>(find("WsrMonitorInicia"));
    auto latest = reinterpret_cast<MonitorUltimaFn>(find("WsrMonitorUltima"));
    auto stop = reinterpret_cast<MonitorEncerraFn>(find("WsrMonitorEncerra"));
    if (start == nullptr || latest == nullptr || stop == nullptr) {
        std::printf("noexport\n");
        return 1;
    }
    Changes changes;
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    opcoes.quadro = WSR_QUADRO_8;
    WsrMonitor* handle = start(port, "9600", &opcoes, &on_change, &changes);
    const bool two = handle != nullptr && ::WaitForSingleObject(changes.second, 5000) == WAIT_OBJECT_0;
    WsrLeitura leitura{};
    leitura.tamanho = sizeof leitura;
    const int32_t number = handle != nullptr ? latest(handle, &leitura) : -1;
    const auto before = std::chrono::steady_clock::now();
    stop(handle);
    const auto stop_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
    std::printf("two=%d first=%.3f second=%.3f latest=%d stop_ms=%lld\n", two ? 1 : 0, changes.weights[0],
                changes.weights[1], number >= 2 ? 1 : 0, static_cast<long long>(stop_ms));
    ::FreeLibrary(module);
    return 0;
}

int version(const char* dll) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(dll, &ignored);
    std::string block(size, '\0');
    if (size == 0 || !::GetFileVersionInfoA(dll, 0, size, block.data())) {
        std::printf("noversion\n");
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length);
    WORD* translation = nullptr;
    ::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length);
    char* file_version = nullptr;
    char* product_version = nullptr;
    ::VerQueryValueA(block.data(), "\\StringFileInfo\\041604E4\\FileVersion", reinterpret_cast<void**>(&file_version),
                     &length);
    ::VerQueryValueA(block.data(), "\\StringFileInfo\\041604E4\\ProductVersion",
                     reinterpret_cast<void**>(&product_version), &length);
    std::printf("fixed=%u.%u.%u.%u translation=%04X-%04X file=%s product=%s\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                translation[0], translation[1], file_version ? file_version : "", product_version ? product_version : "");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "serial" && argc == 5) return poll_once(argv[2], argv[3], std::atol(argv[4]));
    if (command == "weigh" && argc == 5) return weigh(argv[2], argv[3], argv[4]);
    if (command == "version" && argc == 3) return version(argv[2]);
    if (command == "detect" && argc == 5) return detect(argv[2], argv[3], argv[4]);
    if (command == "monitor" && argc == 4) return monitor(argv[2], argv[3]);
    if (command == "record" && argc == 5) return record(argv[2], argv[3], static_cast<unsigned>(std::atol(argv[4])));
    std::fprintf(stderr, "usage: wine_probe serial PORT BAUD GAP_MS | weigh DLL PORT BAUD | record DLL PORT SIZE | monitor DLL PORT | version DLL\n");
    return 64;
}
