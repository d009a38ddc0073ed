// The table of the service's problem codes: status, title and what each means.
#include "problems.hpp"

#include <array>
#include <stdexcept>

namespace Wsr37100::service {

namespace {

constexpr std::array kProblems{
    Problem{400, "bad-request", "Malformed request", "The request is not valid HTTP/1.1."},
    Problem{400, "bad-parameter", "Bad query parameter",
            "A query parameter is unknown, repeated, or not a whole number from 0 to 60000."},
    Problem{401, "unauthorized", "Bearer token required",
            "Send the service's token as 'Authorization: Bearer TOKEN' (or access_token=TOKEN for an EventSource)."},
    Problem{403, "host-not-allowed", "Host not allowed",
            "The service listens on a loopback address and answers only requests addressed to it by a loopback name."},
    Problem{403, "origin-not-allowed", "Origin not allowed",
            "Cross-origin requests are answered only for the origins the administrator allows."},
    Problem{404, "not-found", "No such resource", "The path is not one of the service's."},
    Problem{404, "unknown-scale", "No such scale", "No scale of that name is configured; GET /v1/scales lists them."},
    Problem{405, "method-not-allowed", "Method not allowed", "The Allow header lists the methods of this path."},
    Problem{413, "request-too-large", "Request too large", "The request's body is larger than the service takes."},
    Problem{431, "headers-too-large", "Request headers too large",
            "The request line and headers are larger, or more, than the service takes."},
    Problem{500, "internal-error", "Internal error",
            "The service failed to answer this request; its messages say why. Other requests are not affected."},
    Problem{503, "scale-unavailable", "Scale unavailable",
            "The scale gave no reading: the member 'scale' has the reading with its reason (a missing or busy port, "
            "silence, a failed poll). The service keeps trying it."},
    Problem{503, "too-many-connections", "Too many connections",
            "The service has as many connections open as it allows; try again shortly."},
    Problem{503, "too-many-streams", "Too many event streams",
            "The service has as many event streams open as it allows, so that requests always find a connection; "
            "try again shortly, or ask for the reading."},
    Problem{503, "shutting-down", "Shutting down", "The service is stopping."},
    Problem{504, "no-reading-yet", "No reading yet",
            "The scale gave no reading within timeout_ms; the service started or reopened it only a moment ago."},
    Problem{504, "not-stable", "Not stable",
            "The scale did not settle within stable_ms; the member 'scale' has its last reading."},
};

}  // namespace

const Problem* find_problem(std::string_view code) {
    for (const Problem& problem : kProblems) {
        if (code == problem.code) return &problem;
    }
    return nullptr;
}

nlohmann::ordered_json problem_json(std::string_view code, const std::string& detail) {
    const Problem* problem = find_problem(code);
    if (problem == nullptr) throw std::logic_error("no problem code " + std::string(code));
    nlohmann::ordered_json json;
    json["type"] = "/problems/" + std::string(code);
    json["title"] = problem->title;
    json["status"] = problem->status;
    json["detail"] = detail;
    json["code"] = problem->code;
    return json;
}

}  // namespace Wsr37100::service
