// Temporary folders and log readers shared by the test programs.
#include "support/temp_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace Wsr37100::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("wsr37100-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> log_messages(const fs::path& file) {
    const std::string content = read_file(file);
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "line without CR LF at the end of " << file;
        if (end == std::string::npos) break;
        const std::string line = content.substr(start, end - start);
        const size_t dash = line.find(" - ");
        EXPECT_NE(dash, std::string::npos) << "line without \" - \": " << line;
        EXPECT_GT(dash, 0u) << "line without date-time: " << line;
        messages.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
        start = end + 2;
    }
    return messages;
}

std::vector<std::string> log_messages_in(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> all;
    for (const auto& file : files) {
        auto messages = log_messages(file);
        all.insert(all.end(), messages.begin(), messages.end());
    }
    return all;
}

}  // namespace Wsr37100::testing
