// The daily logs' dropped lines, read through the library on a thread of the watch's own.
#include "log_watch.hpp"

#include <algorithm>

#include "wsr37100.h"

namespace Wsr37100::service {

LogWatch::LogWatch(const std::vector<std::string>& folders, std::chrono::milliseconds every) : every_(every) {
    for (const auto& folder : folders) {
        const bool seen = std::any_of(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.folder == folder; });
        if (!seen) folders_.push_back(Folder{folder, std::nullopt});
    }
    if (!folders_.empty()) reader_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

LogWatch::~LogWatch() {
    if (reader_.joinable()) {
        reader_.request_stop();
        wake_.notify_all();
    }
}

std::vector<LogWatch::Folder> LogWatch::folders() const {
    const std::lock_guard guard(lock_);
    return folders_;
}

void LogWatch::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        for (std::size_t i = 0; i < folders_.size() && !stop.stop_requested(); ++i) {
            const std::string& folder = folders_[i].folder;
            WsrOpcoes opcoes{};
            opcoes.tamanho = sizeof opcoes;
            opcoes.log = folder.empty() ? WSR_LOG_PADRAO : WSR_LOG_PASTA;
            opcoes.pasta_log = folder.c_str();
            std::uint64_t dropped = 0;
            const bool read = WsrLogDescartadas(&opcoes, &dropped, nullptr, 0) == 0;
            const std::lock_guard guard(lock_);
            folders_[i].dropped = read ? std::optional(dropped) : std::nullopt;
        }
        std::unique_lock guard(lock_);
        wake_.wait_for(guard, stop, every_, [] { return false; });
    }
}

}  // namespace Wsr37100::service
