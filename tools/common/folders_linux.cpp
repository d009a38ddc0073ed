// The log folders on Linux: the program's own folder (from /proc/self/exe) and the XDG state folder.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/folders.hpp"

namespace Wsr37100::common {

namespace fs = std::filesystem;

bool dados_beside_program() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return !error && fs::is_directory(program.parent_path() / "dados", error);
}

std::string user_log_folder() {
    fs::path state;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && fs::path(xdg).is_absolute()) {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr) throw std::runtime_error("no home folder for the log; use --log-dir or --no-log");
        state = fs::path(home) / ".local" / "state";
    }
    const fs::path folder = state / "wsr37100";
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        throw std::runtime_error("cannot create the log folder " + folder.string() + ": " + error.message() +
                                 "; use --log-dir or --no-log");
    }
    return folder.string();
}

const char* default_log_help() {
    return "Folder of the daily log. Default: dados beside this program when that folder exists, "
           "else $XDG_STATE_HOME/wsr37100 or ~/.local/state/wsr37100 (created when needed)";
}

}  // namespace Wsr37100::common
