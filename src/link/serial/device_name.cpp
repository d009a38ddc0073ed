// Turns the port name the host gives ("COM1") into the path each platform opens.
#include <algorithm>
#include <cctype>
#include <string>

#include "link/serial/serial_port.hpp"

namespace Wsr37100 {

namespace {

bool is_com_prefix(std::string_view name) {
    return name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(name[2])) == 'M';
}

std::string folded(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

// What may follow "\\.\": a device's own name, letters, digits and '_' ("COM12", "CNCA0").
// Anything with a separator, a colon or a dot names something else: a drive ("C:"), a file
// below one, a network path through "UNC\", any object through "GLOBALROOT\" or "Global\".
bool plain_device_name(std::string_view name) {
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
    // The object namespace's own folders are no device.
    const std::string lowered = folded(name);
    return plain && lowered != "globalroot" && lowered != "global" && lowered != "unc";
}

bool device_namespace(std::string_view name) {
    return name.size() >= 4 && (name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/') &&
           name[2] == '.' && (name[3] == '\\' || name[3] == '/');
}

}  // namespace

std::string windows_device_path(std::string_view device_name) {
    std::string_view name = device_name;
    if (device_namespace(name)) name.remove_prefix(4);
    if (!plain_device_name(name)) return std::string();
    return "\\\\.\\" + std::string(name);
}

std::string posix_device_path(std::string_view device_name) {
    std::string_view name = device_name;
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
