// The texts of a port that did not open.
#include "link/port_refusal.hpp"

#include "base/quoted.hpp"
#include "log/system_reason.hpp"

namespace Wsr37100 {

OpenResult port_unavailable(std::string_view path, PortProblem problem, unsigned long system_error) {
    const std::string reason =
        problem == PortProblem::Busy ? "em uso por outro programa" : system_reason(system_error);
    return OpenResult{nullptr,
                      {problem, system_error, "N\xE3o foi poss\xEDvel abrir a porta " + quoted(path) + ": " + reason}};
}

OpenResult port_busy(std::string_view path, const std::string& reason) {
    return OpenResult{nullptr, {PortProblem::Busy, 0, "A porta " + quoted(path) + " est\xE1 " + reason}};
}

OpenResult port_name_refused(std::string_view path, const std::string& reason) {
    return OpenResult{nullptr, {PortProblem::NameRefused, 0, "Porta recusada " + quoted(path) + ": " + reason}};
}

OpenResult port_settings_refused(std::string_view path, std::int32_t rate, unsigned long system_error) {
    return OpenResult{nullptr, {PortProblem::SettingsRefused, system_error,
                                "A porta " + quoted(path) + " recusou a configura\xE7\xE3o de " +
                                    std::to_string(rate) + " baud: " + system_reason(system_error)}};
}

}  // namespace Wsr37100
