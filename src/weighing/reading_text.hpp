// A reading told in one line of the module's words, for the log lines of a
// monitor and of a stable wait.
#pragma once

#include <string>

#include "weighing/query_report.hpp"

namespace Wsr37100 {

// "peso = 1,250", "status = -1,000 (I)", "sem leitura: silêncio", ...: the
// weight with three decimals and the regional separator. Not for a failure,
// whose text is its own.
std::string reading_text(const QueryReport& report);

}  // namespace Wsr37100
