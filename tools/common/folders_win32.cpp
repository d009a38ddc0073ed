// The tool's log folders on Windows: the program's own folder and %LOCALAPPDATA%.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/folders.hpp"

namespace Wsr37100::common {

namespace {

bool is_folder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool dados_beside_program() {
    char program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) return false;
    std::string folder(program, length);
    folder.erase(folder.find_last_of("\\/") + 1);
    return is_folder(folder + "dados");
}

std::string user_log_folder() {
    char base[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (length == 0 || length >= sizeof base) {
        throw std::runtime_error("LOCALAPPDATA is not set; use --log-dir or --no-log");
    }
    const std::string folder = std::string(base, length) + "\\wsr37100";
    if (!::CreateDirectoryA(folder.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create the log folder " + folder + " (error " + std::to_string(error) +
                                     "); use --log-dir or --no-log");
        }
    }
    return folder;
}

const char* default_log_help() {
    return "Folder of the daily log. Default: dados beside this program when that folder exists, "
           "else %LOCALAPPDATA%\\wsr37100 (created when needed)";
}

}  // namespace Wsr37100::common
