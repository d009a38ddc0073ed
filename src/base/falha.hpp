// The module's exception type, for the code inside the library. The public C++
// header defines the same class for hosts, word for word and under the same
// guard, so a file that sees both has one definition (falha_definition_check
// holds the two alike).
#pragma once

#include <stdexcept>
#include <string>

namespace Wsr37100 {

// wsr37100-falha begin
#ifndef WSR37100_FALHA_DEFINED
#define WSR37100_FALHA_DEFINED
// Every failure the module raises. The message is 8-bit text (Windows-1252),
// exactly as the log carries it.
class Falha : public std::runtime_error {
public:
    explicit Falha(const std::string& mensagem) : std::runtime_error(mensagem) {}
};
#endif
// wsr37100-falha end

}  // namespace Wsr37100
