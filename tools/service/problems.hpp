// The service's errors as RFC 9457 problem details, each with a stable code.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace Wsr37100::service {

struct Problem {
    unsigned status;
    const char* code;
    const char* title;
    const char* explanation;  // what /problems/CODE tells
};

// The problem of this code; nullptr for an unknown code.
const Problem* find_problem(std::string_view code);

// {"type":"/problems/CODE","title":...,"status":...,"detail":...,"code":CODE}.
// The code must be one of find_problem's.
nlohmann::ordered_json problem_json(std::string_view code, const std::string& detail);

}  // namespace Wsr37100::service
