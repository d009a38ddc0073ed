// Turns the module's device name ("COM1:") into the path each platform opens.
#include <cctype>
#include <string>

#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

namespace {

std::string_view without_colon(std::string_view name) {
    if (!name.empty() && name.back() == ':') name.remove_suffix(1);
    return name;
}

bool is_com_prefix(std::string_view name) {
    return name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(name[2])) == 'M';
}

// Windows folds "/" into "\\" and ignores case in the device namespace.
std::string folded(std::string_view path) {
    std::string text(path);
    for (char& c : text) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string windows_device_path(std::string_view device_name) {
    const std::string_view name = without_colon(device_name);
    const bool device_namespace = folded(name).rfind("\\\\.\\", 0) == 0;
    // A network path ("\\server\share", "\\.\UNC\server\share") makes Windows
    // contact a file server; "\\?\" and GLOBALROOT reach any file.
    if (!device_namespace && folded(name).rfind("\\\\", 0) == 0) return std::string();
    std::string path = device_namespace ? std::string(name) : "\\\\.\\" + std::string(name);
    for (const char* prefix : {"\\\\.\\unc\\", "\\\\.\\globalroot"}) {
        if (folded(path).rfind(prefix, 0) == 0) return std::string();
    }
    return path;
}

std::string posix_device_path(std::string_view device_name) {
    std::string_view name = without_colon(device_name);
    if (!name.empty() && name.front() == '/') return std::string(name);
    if (is_com_prefix(name)) {
        std::string_view digits = name.substr(3);
        bool all_digits = digits.size() <= 6;
        for (char c : digits) all_digits = all_digits && std::isdigit(static_cast<unsigned char>(c));
        if (all_digits) {
            const long number = std::stol(std::string(digits));
            if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
        }
    }
    return "/dev/" + std::string(name);
}

}  // namespace Wsr37100
