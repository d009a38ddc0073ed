// The daily logs' dropped lines, read through the library on a thread of the watch's own.
#include "log_watch.hpp"

#include <algorithm>

#include "wsr37100.h"

namespace Wsr37100::service {

LogWatch::LogWatch(const std::vector<std::string>& folders, std::chrono::milliseconds every) : every_(every) {
    for (const auto& folder : folders) {
        const bool seen = std::any_of(folders_.begin(), folders_.end(), [&](const Folder& f) { return f.folder == folder; });
        if (!seen) folders_.push_back(Folder{folder, std::nullopt, {}});
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
    std::vector<std::string> names;
    {
        const std::lock_guard guard(lock_);
        for (const auto& folder : folders_) names.push_back(folder.folder);
    }
    while (!stop.stop_requested()) {
        for (std::size_t i = 0; i < names.size() && !stop.stop_requested(); ++i) {
            WsrOpcoes opcoes{};
            opcoes.tamanho = sizeof opcoes;
            opcoes.log = names[i].empty() ? WSR_LOG_PADRAO : WSR_LOG_PASTA;
            opcoes.pasta_log = names[i].c_str();
            std::uint64_t dropped = 0;
            char why[WSR_MENSAGEM_MAX] = {};
            const int32_t result = WsrLogDescartadas(&opcoes, &dropped, why, sizeof why);
            const std::lock_guard guard(lock_);
            folders_[i].dropped = result == 0 ? std::optional(dropped) : std::nullopt;
            folders_[i].why = result == 0 ? std::string() : std::string(why);
        }
        std::unique_lock guard(lock_);
        wake_.wait_for(guard, stop, every_, [] { return false; });
    }
}

}  // namespace Wsr37100::service
