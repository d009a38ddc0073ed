// The C++ causes and line verdicts mirror the C ones: every WSR_CAUSA_* and
// WSR_LINHA_* the C header defines has its Causa or Linha, with the same value.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "wsr37100.h"
#include "wsr37100.hpp"

namespace {

using Wsr37100::Causa;

struct CauseRow {
    const char* c_name;
    int c_value;
    Causa cpp_value;
};

constexpr CauseRow causes[] = {
    {"WSR_CAUSA_NENHUMA", WSR_CAUSA_NENHUMA, Causa::Nenhuma},
    {"WSR_CAUSA_PORTA_INEXISTENTE", WSR_CAUSA_PORTA_INEXISTENTE, Causa::PortaInexistente},
    {"WSR_CAUSA_SEM_PERMISSAO", WSR_CAUSA_SEM_PERMISSAO, Causa::SemPermissao},
    {"WSR_CAUSA_PORTA_OCUPADA", WSR_CAUSA_PORTA_OCUPADA, Causa::PortaOcupada},
    {"WSR_CAUSA_CONFIGURACAO_RECUSADA", WSR_CAUSA_CONFIGURACAO_RECUSADA, Causa::ConfiguracaoRecusada},
    {"WSR_CAUSA_NOME_RECUSADO", WSR_CAUSA_NOME_RECUSADO, Causa::NomeRecusado},
    {"WSR_CAUSA_OUTRA", WSR_CAUSA_OUTRA, Causa::Outra},
    {"WSR_CAUSA_HOST_DESCONHECIDO", WSR_CAUSA_HOST_DESCONHECIDO, Causa::HostDesconhecido},
    {"WSR_CAUSA_CONEXAO_RECUSADA", WSR_CAUSA_CONEXAO_RECUSADA, Causa::ConexaoRecusada},
    {"WSR_CAUSA_CONEXAO_ESGOTADA", WSR_CAUSA_CONEXAO_ESGOTADA, Causa::ConexaoEsgotada},
    {"WSR_CAUSA_CONEXAO_PERDIDA", WSR_CAUSA_CONEXAO_PERDIDA, Causa::ConexaoPerdida},
};

constexpr bool same_values() {
    for (const CauseRow& row : causes) {
        if (row.c_value != static_cast<int>(row.cpp_value)) return false;
    }
    return true;
}
static_assert(same_values(), "a Causa differs from its WSR_CAUSA_*");

using Wsr37100::Linha;

struct VerdictRow {
    const char* c_name;
    int c_value;
    Linha cpp_value;
};

constexpr VerdictRow verdicts[] = {
    {"WSR_LINHA_NAO_TESTADA", WSR_LINHA_NAO_TESTADA, Linha::NaoTestada},
    {"WSR_LINHA_QUADRO", WSR_LINHA_QUADRO, Linha::Quadro},
    {"WSR_LINHA_LIXO", WSR_LINHA_LIXO, Linha::Lixo},
    {"WSR_LINHA_SILENCIO", WSR_LINHA_SILENCIO, Linha::Silencio},
    {"WSR_LINHA_VELOCIDADE_RECUSADA", WSR_LINHA_VELOCIDADE_RECUSADA, Linha::VelocidadeRecusada},
    {"WSR_LINHA_FALHOU", WSR_LINHA_FALHOU, Linha::Falhou},
    {"WSR_LINHA_SEM_RESPOSTA", WSR_LINHA_SEM_RESPOSTA, Linha::SemResposta},
};

constexpr bool same_verdicts() {
    for (const VerdictRow& row : verdicts) {
        if (row.c_value != static_cast<int>(row.cpp_value)) return false;
    }
    return true;
}
static_assert(same_verdicts(), "a Linha differs from its WSR_LINHA_*");

// The names the C header defines with the prefix.
std::set<std::string> defined(const std::string& prefix) {
    std::ifstream header(WSR37100_C_HEADER, std::ios::binary);
    EXPECT_TRUE(header) << WSR37100_C_HEADER;
    const std::string text{std::istreambuf_iterator<char>(header), std::istreambuf_iterator<char>()};
    std::set<std::string> in_header;
    const std::regex definition("(" + prefix + R"(\w+)\s*=)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), definition); it != std::sregex_iterator(); ++it) {
        in_header.insert((*it)[1].str());
    }
    return in_header;
}

TEST(CppCauses, CoverEveryCauseOfTheCHeader) {
    std::set<std::string> in_table;
    for (const CauseRow& row : causes) in_table.insert(row.c_name);
    EXPECT_EQ(defined("WSR_CAUSA_"), in_table);
}

TEST(CppCauses, CoverEveryLineVerdictOfTheCHeader) {
    std::set<std::string> in_table;
    for (const VerdictRow& row : verdicts) in_table.insert(row.c_name);
    EXPECT_EQ(defined("WSR_LINHA_"), in_table);
}

}  // namespace
