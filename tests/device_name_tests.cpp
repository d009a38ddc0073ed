// Device names: what each platform opens for the port names hosts give ("COMn").
#include <gtest/gtest.h>

#include "link/serial/serial_port.hpp"

namespace Wsr37100 {
namespace {

TEST(DeviceName, Windows) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM10", "\\\\.\\COM10"},
        {"COM255", "\\\\.\\COM255"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"//./COM3", "\\\\.\\COM3"},
        {"CNCA0", "\\\\.\\CNCA0"},  // virtual ports keep their plain names
        {"\\\\.\\Virtual_Port2", "\\\\.\\Virtual_Port2"},
        // No name at all, or a name that is no device's: refused.
        {":", ""},
        {"\\\\.\\", ""},
        {"\\\\.\\C:\\file", ""},
        {"\\\\.\\D:", ""},
        {"COM1:", ""},  // a colon of the host's own is no device's
        {"C:\\file", ""},
        {"COM3\\..\\..\\file", ""},
        {"\\\\.\\pipe\\name", ""},
        {"scale.txt", ""},
        {"\\\\.\\Global\\GLOBALROOT\\Device\\Serial0", ""},
        {"\\\\.\\Global\\UNC\\server\\share", ""},
        {"\\\\.\\GLOBAL/unc/server/share", ""},
        {"\\\\.\\GLOBALROOT", ""},
        {"\\\\.\\Global", ""},
        // Network paths and file namespaces are refused (empty).
        {"\\\\server\\pipe", ""},
        {"//server/share", ""},
        {"\\\\?\\C:\\file", ""},
        {"\\\\.\\UNC\\server\\share", ""},
        {"UNC\\server\\share:", ""},
        {"\\\\.\\unc/server/share", ""},
        {"\\\\.\\GLOBALROOT\\Device\\Serial0", ""},
    };
    for (const auto& [name, path] : cases) EXPECT_EQ(windows_device_path(name), path) << name;
}

TEST(DeviceName, Posix) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},      {"com2", "/dev/ttyS1"},          {"Com10", "/dev/ttyS9"},
        {"COM0", "/dev/COM0"},       {"COMX", "/dev/COMX"},           {"COM1a", "/dev/COM1a"},
        {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/pts/3", "/dev/pts/3"},     {"/tmp/scale", "/tmp/scale"},
        {"COM", "/dev/COM"},         {"", "/dev/"},                   {"COM1:", "/dev/COM1:"},
    };
    for (const auto& [name, path] : cases) EXPECT_EQ(posix_device_path(name), path) << name;
}

}  // namespace
}  // namespace Wsr37100
