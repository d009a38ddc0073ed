// How many lines the scales' daily logs have dropped past their day's bound, read off the network thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace Wsr37100::service {

// A folder as the journal and the metrics name it: "dados" (the folder beside the program) for "".
inline std::string log_folder_label(const std::string& folder) { return folder.empty() ? std::string("dados") : folder; }

// Reads each log folder's count on a thread of its own: a folder that hangs
// (a network share gone) holds up this reader alone, never an answer.
class LogWatch {
public:
    struct Folder {
        std::string folder;                    // as the scales log into it; "" for dados beside the program
        std::optional<std::uint64_t> dropped;  // nothing until read, or while the day's file cannot be read
    };

    // One entry per distinct folder (duplicates are read once); read at once, then every `every`.
    LogWatch(const std::vector<std::string>& folders, std::chrono::milliseconds every);
    ~LogWatch();
    LogWatch(const LogWatch&) = delete;
    LogWatch& operator=(const LogWatch&) = delete;

    // What was last read of each folder, in the order first given.
    std::vector<Folder> folders() const;

private:
    void run(std::stop_token stop);

    const std::chrono::milliseconds every_;
    mutable std::mutex lock_;
    std::condition_variable_any wake_;
    std::vector<Folder> folders_;  // their counts under lock_; the folders themselves never change
    std::jthread reader_;          // last: starts once everything else is there
};

}  // namespace Wsr37100::service
