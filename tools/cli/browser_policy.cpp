// `wsr37100 browser-policy ORIGIN...`: prints, installs or removes the managed
// browser policy LocalNetworkAccessAllowedForUrls for the origins of the web
// points of sale.
#include "browser_policy.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "commands.hpp"
#include "common/exit_codes.hpp"
#include "common/origin.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

// The origin as the browsers send it, or the reason it cannot be allowed.
struct Checked {
    std::string origin;
    std::string refusal;
};

Checked checked(const std::string& given) {
    if (!common::valid_origin(given)) {
        return {{}, "not an origin (scheme://host[:port], as https://pos.example, nothing after): " + given};
    }
    std::string origin = common::serialized_origin(given);
    if (origin.empty()) {
        return {{}, "no browser sends this origin (a host ending in a dot, brackets holding no IPv6 address, or an "
                    "IPv4 address not written as four numbers from 0 to 255): " + given};
    }
    if (origin.starts_with("http://") && !common::loopback_origin(origin)) {
        return {{}, "a plain-HTTP page not on this computer can never be granted Local Network Access; serve it "
                    "over https: " + given};
    }
    return {std::move(origin), {}};
}

// Creates the folder and those above it that are missing, each readable by all (rwxr-xr-x)
// whatever the umask: a browser reads its policies as the user who runs it.
bool make_folders(fs::path folder) {
    if (folder.filename().empty()) folder = folder.parent_path();
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path at = folder; !at.empty() && !fs::exists(fs::symlink_status(at, error)); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        fs::create_directory(*at, error);
        if (!error) {
            fs::permissions(*at,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec,
                            error);
        }
        if (error) {
            std::fprintf(stderr, "wsr37100: cannot create %s: %s\n", folder.string().c_str(), error.message().c_str());
            return false;
        }
    }
    return true;
}

bool write_file(const fs::path& folder, const std::string& json) {
    if (!make_folders(folder)) return false;
    std::error_code error;
    const fs::path target = folder / kPolicyFileName;
    // A hidden name of its own, which the browsers do not read, then renamed over
    // the file.
    const fs::path temporary = folder / (std::string(".") + kPolicyFileName + ".new");
    fs::remove(temporary, error);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << json;
        out.close();
        if (!out) {
            std::fprintf(stderr, "wsr37100: cannot write %s\n", temporary.string().c_str());
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::permissions(temporary,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    error);
    if (!error) fs::rename(temporary, target, error);
    if (error) {
        std::fprintf(stderr, "wsr37100: cannot write %s: %s\n", target.string().c_str(), error.message().c_str());
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

// Other files of the folder that set the policy too: a browser applies only one
// file's list.
void warn_of_other_lists(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const fs::path& path = entry->path();
        if (path.filename() == kPolicyFileName || path.extension() != ".json") continue;
        // Only a regular file is read: a pipe or a device named so would never end.
        const auto text = regular_file_text(path);
        if (!text) continue;
        const auto content = nlohmann::json::parse(*text, nullptr, false);
        if (content.is_object() && content.contains(kPolicyName)) {
            std::fprintf(stderr,
                         "wsr37100: warning: %s also sets %s, and a browser applies only one of the lists: add the "
                         "origins to that file instead\n",
                         path.string().c_str(), kPolicyName);
        }
    }
}

}  // namespace

std::string policy_json(const std::vector<std::string>& origins) {
    return nlohmann::json{{kPolicyName, origins}}.dump(2) + "\n";
}

int install_policy_files(const std::vector<fs::path>& folders, const std::string& json) {
    int status = 0;
    for (const auto& folder : folders) {
        if (!write_file(folder, json)) {
            status = 1;
        } else if (const std::string why = unreadable_by_others(folder / kPolicyFileName); !why.empty()) {
            std::fprintf(stderr, "wsr37100: wrote %s, but the browsers cannot read it: %s\n",
                         (folder / kPolicyFileName).string().c_str(), why.c_str());
            status = 1;
        } else {
            std::printf("wrote %s\n", (folder / kPolicyFileName).string().c_str());
            std::fflush(stdout);
            warn_of_other_lists(folder);
        }
    }
    return status;
}

int remove_policy_files(const std::vector<fs::path>& folders) {
    int status = 0;
    for (const auto& folder : folders) {
        const fs::path target = folder / kPolicyFileName;
        std::error_code error;
        if (fs::remove(target, error)) {
            std::printf("removed %s\n", target.string().c_str());
        } else if (error) {
            std::fprintf(stderr, "wsr37100: cannot remove %s: %s\n", target.string().c_str(), error.message().c_str());
            status = 1;
        }
    }
    return status;
}

BrowserPolicyCommand::BrowserPolicyCommand(CLI::App& app)
    : Command(app, "browser-policy",
              "Allow web pages of these origins to reach this computer's service in Chrome, Edge and Chromium:\n"
              "their managed policy LocalNetworkAccessAllowedForUrls. Prints the policy file by default.\n"
              "Example: sudo wsr37100 browser-policy --install https://pos.example",
              "Exit status: 0 done, 64 usage error or an origin refused (nothing written), 1 could not\n"
              "write or remove the policy, or wrote it where others cannot read it. The policy (or what\n"
              "was written) goes to stdout, messages to stderr. Origins are written as the browsers send\n"
              "them: scheme and host in lower case, no default port, no leading zeros. On Linux the file\n"
              "is wsr37100-local-network-access.json in /etc/chromium/policies/managed,\n"
              "/etc/opt/chrome/policies/managed and /etc/opt/edge/policies/managed (folders it makes are\n"
              "rwxr-xr-x); on Windows the browsers' policy keys in the registry (the installer's\n"
              "ALLOW_ORIGINS does the same). Other policies are never touched.") {
    command()
        .add_option("origin", origins_,
                    "An origin to allow, scheme://host[:port] as the service's --allow-origin takes it\n"
                    "(several, or separated by commas); plain http only for this computer")
        ->delimiter(',');
    command()
        .add_option("--framed-by", framed_by_,
                    "The origin of a page that shows the point of sale's in a frame (a portal): the browser\n"
                    "checks the top-level page's origin, so the policy lists it too (repeatable, or separated\n"
                    "by commas; an empty one is none). The frame also needs allow=\"local-network-access\".")
        ->delimiter(',')
        ->allow_extra_args(false);
    auto* install = command().add_flag("--install", install_, "Write the policy for the browsers to apply");
    auto* remove = command().add_flag("--remove", remove_, "Remove the policy this command wrote (no origin)");
    install->excludes(remove);
    command().add_option("--policy-dir", folders_,
                         "Write into (or remove from) this folder instead of the browsers' own (repeatable)")
        ->allow_extra_args(false);  // one folder each time: the origins after it are no folders
}

int BrowserPolicyCommand::run() const {
    const bool framed = std::any_of(framed_by_.begin(), framed_by_.end(), [](const auto& o) { return !o.empty(); });
    if (remove_ && (!origins_.empty() || framed)) {
        std::fprintf(stderr, "wsr37100: --remove takes no origin: it removes the whole policy this command wrote\n");
        return common::kExitUsage;
    }
    if (!remove_ && origins_.empty()) {
        std::fprintf(stderr, "wsr37100: name at least one origin, as https://pos.example (browser-policy --help)\n");
        return common::kExitUsage;
    }
    if (!folders_.empty() && !install_ && !remove_) {
        std::fprintf(stderr, "wsr37100: --policy-dir goes with --install or --remove\n");
        return common::kExitUsage;
    }
    std::vector<std::string> origins;
    std::vector<std::string> given_origins = origins_;
    for (const auto& portal : framed_by_) {
        if (!portal.empty()) given_origins.push_back(portal);  // the installer passes an empty property as ""
    }
    for (const auto& given : given_origins) {
        auto [origin, why] = checked(given);
        if (!why.empty()) {
            std::fprintf(stderr, "wsr37100: %s\n", why.c_str());
            return common::kExitUsage;
        }
        if (std::find(origins.begin(), origins.end(), origin) == origins.end()) origins.push_back(std::move(origin));
    }
    const std::vector<fs::path> folders(folders_.begin(), folders_.end());
    if (remove_) return folders.empty() ? remove_system_policy() : remove_policy_files(folders);
    if (!install_) {
        std::fputs(policy_json(origins).c_str(), stdout);
        return 0;
    }
    return folders_.empty() ? install_system_policy(origins) : install_policy_files(folders, policy_json(origins));
}

}  // namespace Wsr37100::cli
