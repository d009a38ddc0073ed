// The serial ports on Linux, from sysfs and the device nodes' owners; no device is opened.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "ports.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

std::string first_line(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A ttyS node exists for every possible UART; only those with a port behind
// them have a non-zero type.
bool uart_present(const fs::path& tty) {
    std::ifstream type(tty / "type");
    int value = 0;
    return type >> value && value != 0;
}

// The USB device above the tty's device in sysfs: vendor, product, serial number, names.
void usb_details(const fs::path& sys, fs::path device, PortInfo& port) {
    for (; device.has_relative_path() && device != sys; device = device.parent_path()) {
        std::error_code error;
        if (!fs::exists(device / "idVendor", error)) continue;
        port.vendor_id = first_line(device / "idVendor");
        port.product_id = first_line(device / "idProduct");
        port.serial_number = first_line(device / "serial");
        const std::string maker = first_line(device / "manufacturer");
        const std::string product = first_line(device / "product");
        port.description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
        return;
    }
}

// The nearest driver above the tty. Since Linux 6.5 the serial core puts its
// own "port" and "ctrl" devices in between: the hardware's driver is above them.
std::string driver_of(const fs::path& sys, fs::path device) {
    for (; device.has_relative_path() && device != sys; device = device.parent_path()) {
        std::error_code error;
        const std::string driver = fs::canonical(device / "driver", error).filename().string();
        if (!error && driver != "port" && driver != "ctrl") return driver;
    }
    return {};
}

void access_details(const fs::path& node, PortInfo& port) {
    struct stat status {};
    if (::stat(node.c_str(), &status) != 0) return;
    port.may_open = ::access(node.c_str(), R_OK | W_OK) == 0;
    if (*port.may_open) return;
    if (const group* owner = ::getgrgid(status.st_gid); owner != nullptr && (status.st_mode & S_IRWXG) != 0) {
        port.group = owner->gr_name;
    }
}

}  // namespace

std::vector<PortInfo> list_ports() {
    const char* root_text = std::getenv("WSR37100_SYSTEM_ROOT");
    const fs::path root = root_text != nullptr && *root_text != '\0' ? fs::path(root_text) : fs::path("/");
    const fs::path sys = root / "sys";
    const fs::path dev = root / "dev";

    std::map<std::string, PortInfo> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sys / "class" / "tty", error)) {
        const std::string name = entry.path().filename().string();
        const fs::path device_link = entry.path() / "device";
        // Consoles and pseudo-terminals have no device behind them.
        if (!fs::exists(device_link, error)) continue;
        if (name.rfind("ttyS", 0) == 0 && !uart_present(entry.path())) continue;
        PortInfo port;
        port.device = (fs::path("/dev") / name).string();
        if (name.rfind("ttyS", 0) == 0 && name.size() > 4 && name.find_first_not_of("0123456789", 4) == std::string::npos) {
            port.aliases.push_back("COM" + std::to_string(std::stoi(name.substr(4)) + 1));
        }
        const fs::path device = fs::canonical(device_link, error);
        if (!error) {
            port.driver = driver_of(sys, device);
            usb_details(sys, device, port);
        }
        access_details(dev / name, port);
        found.emplace(name, std::move(port));
    }
    for (const auto& entry : fs::directory_iterator(dev / "serial" / "by-id", error)) {
        const fs::path target = fs::canonical(entry.path(), error);
        if (error) continue;
        const auto port = found.find(target.filename().string());
        if (port != found.end()) {
            port->second.aliases.push_back((fs::path("/dev/serial/by-id") / entry.path().filename()).string());
        }
    }
    std::vector<PortInfo> ports;
    for (auto& [name, port] : found) ports.push_back(std::move(port));
    return ports;
}

}  // namespace Wsr37100::cli
