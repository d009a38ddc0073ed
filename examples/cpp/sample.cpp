// A C++ host: Wsr37100::BuscaPesoEx with options, failures as exceptions.
// Usage: sample PORT [BAUD]
#include <wsr37100.hpp>

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    const std::string port = argc > 1 ? argv[1] : "COM1";
    const std::string baud = argc > 2 ? argv[2] : "9600";
    try {
        Wsr37100::Opcoes opcoes;
        opcoes.sem_log = true;  // or opcoes.pasta_log = "/var/log/loja";
        opcoes.intervalo = 20ms;
        const Wsr37100::Leitura leitura = Wsr37100::BuscaPesoEx(port, baud, opcoes);
        switch (leitura.tipo) {
            case Wsr37100::Tipo::Peso: std::cout << "peso: " << leitura.peso << " kg\n"; return 0;
            case Wsr37100::Tipo::Status: std::cout << "status: " << leitura.peso << "\n"; return 2;
            case Wsr37100::Tipo::SemLeitura:
                std::cout << "sem leitura (motivo " << static_cast<int>(leitura.motivo) << ")\n";
                return 3;
        }
    } catch (const Wsr37100::Falha& falha) {
        std::cout << "falha: " << falha.what() << "\n";
        return 4;
    }
    return 0;
}
