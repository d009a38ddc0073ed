// `wsr37100 browser-policy`: the browsers' managed policy that lets web pages
// of the named origins reach this computer's service (Chrome's and Edge's Local
// Network Access).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Wsr37100::cli {

// The policy file's name: the one file of a managed policy folder that
// browser-policy writes.
inline constexpr const char* kPolicyFileName = "wsr37100-local-network-access.json";
inline constexpr const char* kPolicyName = "LocalNetworkAccessAllowedForUrls";

// The policy file's content for these origins.
std::string policy_json(const std::vector<std::string>& origins);

// Writes the policy file into each folder (created when missing), atomically;
// the exit status (0, or 1 when a folder could not be written).
int install_policy_files(const std::vector<std::filesystem::path>& folders, const std::string& json);
// Deletes the policy file, and nothing else, from each folder; the exit status.
int remove_policy_files(const std::vector<std::filesystem::path>& folders);

// Where this system keeps the browsers' managed policies
// (browser_policy_linux.cpp: the folders of Chromium, Chrome and Edge;
// browser_policy_win32.cpp: the registry). Each returns the exit status.
// Why the browsers, run by any user, cannot read this file (a folder on its way or the file
// not open to others); empty when they can.
std::string unreadable_by_others(const std::filesystem::path& file);
// The content of a regular file (a link to one followed), read without waiting; nullopt for
// anything else (a pipe, a device, a folder) or a file that cannot be read.
std::optional<std::string> regular_file_text(const std::filesystem::path& path);

int install_system_policy(const std::vector<std::string>& origins);
int remove_system_policy();

}  // namespace Wsr37100::cli
