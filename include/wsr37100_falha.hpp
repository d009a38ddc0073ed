// The module's exception type: the class the library throws inside and the one
// hosts catch from the C++ interface (wsr37100.hpp) are this one class.
#pragma once

#include <stdexcept>
#include <string>

namespace Wsr37100 {

// Every failure the module raises. The message is 8-bit text (Windows-1252),
// exactly as the log carries it.
class Falha : public std::runtime_error {
public:
    explicit Falha(const std::string& mensagem) : std::runtime_error(mensagem) {}
};

}  // namespace Wsr37100
