// Drives the Windows builds under Wine against a scale played on a pseudo-terminal.
// A COM port is mapped once, through Wine's registry, to a symbolic link that
// each case points at its own scale.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <vector>
#include <string>

#include "scale_emulator.hpp"
#include "tcp_scale.hpp"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// COM10 and above open only through the "\\.\" name.
constexpr const char* kPort = "COM12";

std::string shell_quote(const std::string& text) { return "'" + text + "'"; }

// The command's standard output, its trailing line ends cut. When it printed
// nothing, what it said on standard error and its exit status go to the case's
// own output, so that a failing case tells why Wine gave nothing.
std::string run(const std::string& command) {
    const fs::path said = fs::temp_directory_path() / ("wsr37100-wine-stderr-" + std::to_string(::getpid()));
    std::string output;
    int status = -1;
    if (FILE* pipe = ::popen((command + " 2>" + shell_quote(said.string())).c_str(), "r")) {
        char chunk[512];
        while (std::fgets(chunk, sizeof chunk, pipe)) output += chunk;
        status = ::pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    if (output.empty()) {
        std::ifstream errors(said);
        const std::string text((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
        if (!text.empty() || status != 0)
            std::fprintf(stderr, "[%s] gave no output, status %d:\n%s\n", command.c_str(), status, text.c_str());
    }
    std::error_code ignored;
    fs::remove(said, ignored);
    return output;
}

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* probe = std::getenv("WSR37100_WINE_PROBE");
        ASSERT_NE(probe, nullptr) << "WSR37100_WINE_PROBE names the Windows probe program";
        probe_ = probe;
        link_ = (fs::temp_directory_path() / ("wsr37100-wine-scale-" + std::to_string(::getpid()))).string();
        run("wine reg add 'HKLM\\Software\\Wine\\Ports' /v " + std::string(kPort) + " /t REG_SZ /d " +
            shell_quote(link_) + " /f");
        // The mapping is read by a new Wine session; that session is kept until the
        // last case (a server that left between two cases could be caught leaving).
        run("wineserver -k; wineserver -w; wineserver -p");
    }
    void TearDown() override {
        run("wine reg delete 'HKLM\\Software\\Wine\\Ports' /v " + std::string(kPort) + " /f");
        run("wineserver -k");
        std::error_code ignored;
        fs::remove(link_, ignored);
    }

    static std::string probe_;
    static std::string link_;
};
std::string WineEnvironment::probe_;
std::string WineEnvironment::link_;

// Points the mapped port at this scale.
void attach(const ScaleEmulator& scale) {
    std::error_code ignored;
    fs::remove(WineEnvironment::link_, ignored);
    fs::create_symlink(scale.device_path(), WineEnvironment::link_);
}

std::string probe(const std::string& arguments) {
    return run("wine " + shell_quote(WineEnvironment::probe_) + " " + arguments);
}

long field(const std::string& line, const std::string& name) {
    const size_t at = line.find(name + "=");
    return at == std::string::npos ? -1 : std::atol(line.c_str() + at + name.size() + 1);
}

TEST(WineSerial, PollsThroughAMappedComPort) {
    struct Case { const char* name; ScaleReply reply; int gap; long count; const char* bytes; long min_ms, max_ms; };
    const Case cases[] = {
        {"eight bytes", ScaleReply::bytes("\x02" "01.234\x03"), 0, 8, "0230312E32333403", 0, 600},
        {"seven bytes", ScaleReply::bytes("\x02" "01234\x03"), 0, 7, "02303132333403", 900, 1800},
        {"silence", ScaleReply::silence(), 0, 0, "", 900, 1800},
        {"seven bytes with a gap", ScaleReply::bytes("\x02" "01234\x03"), 20, 7, "02303132333403", 0, 600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleEmulator scale({c.reply});
        attach(scale);
        const std::string line = probe(std::string("serial ") + kPort + " 9600 " + std::to_string(c.gap));
        EXPECT_EQ(field(line, "count"), c.count) << line;
        EXPECT_NE(line.find(std::string("bytes=") + c.bytes), std::string::npos) << line;
        EXPECT_GE(field(line, "ms"), c.min_ms) << line;
        EXPECT_LE(field(line, "ms"), c.max_ms) << line;
        EXPECT_EQ(scale.polls(), 1);
    }
}

// The probe's folder, where the DLL lies and "dados" is looked for.
fs::path probe_folder() { return fs::path(WineEnvironment::probe_).parent_path(); }
std::string dll() { return "wsr37100.dll"; }

std::vector<std::string> log_lines(const fs::path& folder) {
    std::vector<std::string> lines;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            const size_t dash = line.find(" - ");
            lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
        }
    }
    return lines;
}

TEST(WineHost, LoadsTheDllAndWeighsThroughAMappedComPort) {
    struct Case { const char* name; ScaleReply reply; bool dados; const char* result; size_t lines; int polls; };
    const Case cases[] = {
        {"seven bytes", ScaleReply::bytes("\x02" "01234\x03"), true, "start=1 result=1.234", 4, 1},
        {"eight bytes", ScaleReply::bytes("\x02" "12.345\x03"), true, "start=1 result=12.345", 7, 1},
        {"status", ScaleReply::bytes("\x02" "NNNNNN\x03"), true, "start=1 result=-2.000", 7, 1},
        {"silence", ScaleReply::silence(), true, "start=1 result=0.000", 4, 1},
        {"no dados folder", ScaleReply::bytes("\x02" "01234\x03"), false, "start=1 result=nan", 0, 0},
    };
    const fs::path dados = probe_folder() / "dados";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dados);
        if (c.dados) fs::create_directory(dados);
        ScaleEmulator scale({c.reply});
        attach(scale);
        EXPECT_EQ(probe("weigh " + dll() + " " + kPort + " 9600"), c.result);
        EXPECT_EQ(scale.polls(), c.polls);
        if (c.dados) {
            const auto lines = log_lines(dados);
            ASSERT_EQ(lines.size(), c.lines);
            EXPECT_EQ(lines[0], std::string("porta configurada: ") + kPort + "\r");
            EXPECT_EQ(lines[1], std::string("lendo a porta: ") + kPort + ":\r");
        } else {
            EXPECT_FALSE(fs::exists(dados));
        }
    }
    fs::remove_all(dados);
}

// A packed record of a 32-bit host ends with mensagem, 548 bytes in; today's
// record is longer. Both weigh; a shorter one is refused; nothing past any is written.
TEST(WineHost, RecordsOfEveryWholeFieldSize) {
    struct Case { unsigned size; const char* result; };
    for (const Case c : {Case{548, "result=0 peso=1.234 intact=1"}, Case{547, "result=3 peso=0.000 intact=1"},
                         Case{0, "result=0 peso=1.234 intact=1"}}) {
        ScaleEmulator scale({ScaleReply::bytes("\x02" "01234\x03")});
        attach(scale);
        const std::string line = probe("record " + dll() + " " + kPort + " " + std::to_string(c.size));
        const long full = field(line, "sizeof");
        if (c.size == 0) {  // today's size, whatever the platform makes it
            EXPECT_GT(full, 548) << line;
            const std::string again = probe("record " + dll() + " " + kPort + " " + std::to_string(full));
            EXPECT_NE(again.find(c.result), std::string::npos) << again;
            continue;
        }
        EXPECT_NE(line.find(c.result), std::string::npos) << line;
    }
}

TEST(WineHost, FollowsTheScaleWithAStdcallCallback) {
    // 1.234 until the third poll, then 2.5 and silence: the monitor holds the
    // port, so the scale sees polls back to back. Stopping while a read of
    // the silent scale waits must not wait it out.
    ScaleEmulator scale({ScaleReply::bytes("\x02" "01.234\x03"), ScaleReply::bytes("\x02" "01.234\x03"),
                         ScaleReply::bytes("\x02" "02.500\x03")});
    attach(scale);
    const std::string line = probe("monitor " + dll() + " " + kPort);
    EXPECT_NE(line.find("two=1 first=1.234 second=2.500 latest=1"), std::string::npos) << line;
    EXPECT_LT(field(line, "stop_ms"), 500) << line;
}

// The DLL's probe finds the rate the scale answers at through the mapped port.
TEST(WineHost, FindsTheScalesRateOnAMappedComPort) {
    ScaleEmulator scale({ScaleReply::bytes("\x02" " 1.500\x03")}, true);
    scale.line_speed(4800);
    attach(scale);
    EXPECT_EQ(probe("detect " + dll() + " " + kPort + " 2400,4800,9600"),
              "result=0 rate=4800 frame=8 weight=1.500 tried=2 heard=1 bytes=8 sizeof=568");
}

// Winsock: a scale behind raw TCP on loopback, and a port nobody listens on.
TEST(WineHost, WeighsThroughATcpPort) {
    struct Case { TcpScale::Face face; const char* result; };
    for (const Case c : {Case{TcpScale::Face::Answer, "start=1 result=12.345"}, Case{TcpScale::Face::Refuse, "start=1 result=0.000"}}) {
        TcpScale scale({ScaleReply::bytes("\x02" "12.345\x03")}, false, c.face);
        const fs::path dados = probe_folder() / "dados";
        fs::create_directory(dados);
        EXPECT_EQ(probe("weigh " + dll() + " " + scale.address() + " 9600"), c.result);
        fs::remove_all(dados);
    }
}

TEST(WineHost, VersionResource) {
    EXPECT_EQ(probe("version " + dll()), "fixed=6.49.9.0 translation=0416-04E4 file=6.49.009 product=6.49.009");
}

TEST(WineTool, WeighsThroughAMappedComPort) {
    const char* tool = std::getenv("WSR37100_WINE_TOOL");
    if (tool == nullptr) GTEST_SKIP() << "no Windows tool in this build";
    ScaleEmulator scale({ScaleReply::bytes("\x02" "12.345\x03"), ScaleReply::bytes("\x02" "NNNNN\x03")});
    attach(scale);
    const std::string command = "wine " + shell_quote(tool) + " weigh " + kPort + " 9600 --gap 20 --no-log";
    EXPECT_EQ(run(command), "12.345 kg");
    // The time of the reading leads the object; the rest is fixed.
    const std::string json = run(command + " --json");
    EXPECT_EQ(std::regex_replace(json, std::regex("^\\{\"time\":\"[-0-9T:.+]{29}\","), "{"),
              "{\"kind\":\"status\",\"weight\":null,\"status\":\"negative\",\"letter\":\"N\",\"polls\":1,"
              "\"bytes\":7,\"reply\":\"024E4E4E4E4E03\",\"message\":\"\"}")
        << json;
}

// The Windows tool finds the scale on a named COM port, its output as on Linux.
TEST(WineTool, DetectsTheScaleOnAMappedComPort) {
    const char* tool = std::getenv("WSR37100_WINE_TOOL");
    if (tool == nullptr) GTEST_SKIP() << "no Windows tool in this build";
    ScaleEmulator scale({ScaleReply::bytes("\x02" "01500\x03")}, true);
    scale.line_speed(9600);
    attach(scale);
    const std::string out = run("wine " + shell_quote(tool) + " detect " + kPort + " --bauds 4800,9600; echo \"exit $?\"");
    EXPECT_NE(out.find(std::string(kPort) + "  found: 9600 baud, 7-byte frame, said 1.500 kg"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("--scale scale=") + kPort + ":9600,frame=7"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
}

TEST(WineSerial, OpenFailuresAndTheBaudText) {
    ScaleEmulator scale({});
    attach(scale);
    EXPECT_EQ(probe("serial COM13 9600 0"), "none");
    EXPECT_EQ(probe("serial COM12 96OO 0"), "raised '96OO' n\xE3o \xE9 um n\xFAmero inteiro v\xE1lido");
    // Wine does not enforce share mode 0 on serial devices, so a second
    // opener is not tested here; the POSIX suite covers exclusive access.
}

}  // namespace
}  // namespace Wsr37100

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Wsr37100::WineEnvironment);
    return RUN_ALL_TESTS();
}
