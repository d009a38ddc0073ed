// Linux: the managed policy folders of Chromium (Debian's), Google Chrome and
// Microsoft Edge.
#include "browser_policy.hpp"

namespace Wsr37100::cli {

namespace {

std::vector<std::filesystem::path> managed_policy_folders() {
    return {"/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed", "/etc/opt/edge/policies/managed"};
}

}  // namespace

int install_system_policy(const std::vector<std::string>& origins) {
    return install_policy_files(managed_policy_folders(), policy_json(origins));
}

int remove_system_policy() { return remove_policy_files(managed_policy_folders()); }

}  // namespace Wsr37100::cli
