// `wsr37100 ports`: the list as text or JSON on stdout, hints on stderr.
#include "ports.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "commands.hpp"

namespace Wsr37100::cli {

namespace {

std::string identity(const PortInfo& port) {
    std::string text = port.driver;
    if (!port.vendor_id.empty()) {
        text += (text.empty() ? "" : ", ") + std::string("USB ") + port.vendor_id + ":" + port.product_id;
    }
    if (!port.serial_number.empty()) text += (text.empty() ? "" : ", ") + std::string("serial ") + port.serial_number;
    return text;
}

nlohmann::ordered_json optional_text(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

}  // namespace

int ports(bool json) {
    const std::vector<PortInfo> found = list_ports();
    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (const auto& port : found) {
            list.push_back({{"device", port.device},
                            {"aliases", port.aliases},
                            {"description", optional_text(port.description)},
                            {"driver", optional_text(port.driver)},
                            {"vendor_id", optional_text(port.vendor_id)},
                            {"product_id", optional_text(port.product_id)},
                            {"serial_number", optional_text(port.serial_number)},
                            {"may_open", port.may_open ? nlohmann::ordered_json(*port.may_open) : nlohmann::ordered_json()},
                            {"group", optional_text(port.group)}});
        }
        std::printf("%s\n", list.dump().c_str());
        return 0;
    }
    if (found.empty()) std::fprintf(stderr, "no serial ports found\n");
    std::vector<std::string> groups;
    for (const auto& port : found) {
        std::printf("%s  %s", port.device.c_str(), port.description.empty() ? "serial port" : port.description.c_str());
        const std::string details = identity(port);
        std::printf("%s\n", details.empty() ? "" : ("  (" + details + ")").c_str());
        for (const auto& alias : port.aliases) std::printf("    also %s\n", alias.c_str());
        if (port.may_open == false) {
            std::printf("    you may not open it%s\n", port.group.empty() ? "" : (": join the group " + port.group).c_str());
            if (!port.group.empty() && std::find(groups.begin(), groups.end(), port.group) == groups.end()) {
                groups.push_back(port.group);
            }
        }
    }
    std::fprintf(stderr, "\nPass the device or one of its names as PORT: wsr37100 weigh PORT 9600\n");
    if (!groups.empty()) {
        std::string list;
        for (const auto& group : groups) list += (list.empty() ? "" : ",") + group;
        std::fprintf(stderr, "To open those ports, join their group, then log in again: sudo usermod -aG %s $USER\n",
                     list.c_str());
    }
    return 0;
}

PortsCommand::PortsCommand(CLI::App& app)
    : Command(app, "ports",
              "List the serial ports present: description, driver, USB ids, serial number, and whether you\n"
              "may open them. Nothing is opened.\nExample: wsr37100 ports --json",
              "Exit status: 0 listed (none found is no error), 64 usage error, 1 any other error.\n"
              "The list goes to stdout, hints to stderr.") {
    command().add_flag("--json", json_, "One JSON array");
}

}  // namespace Wsr37100::cli
