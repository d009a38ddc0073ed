// A temporary folder for a test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Wsr37100::testing {

class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// The whole file as bytes; empty when absent.
std::string read_file(const std::filesystem::path& file);

// The messages of a log file: each line's text after the first " - ", with
// the line's own form checked (CR LF ending, a date-time before " - ").
std::vector<std::string> log_messages(const std::filesystem::path& file);

// All log messages found in a folder's log files, file by file in name order.
std::vector<std::string> log_messages_in(const std::filesystem::path& folder);

}  // namespace Wsr37100::testing
