// The serial link against a scale played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <mutex>
#include <optional>

#include "scale_emulator.hpp"
#include "link/serial/serial_port.hpp"
#include "link/serial/uucp_lock.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::chrono::milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::string received_text(const ReceiveBuffer& buffer, std::size_t count) {
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
}

size_t open_descriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// What each open descriptor of this process names, to tell which ones a case left behind.
std::map<std::string, std::string> descriptor_targets() {
    std::map<std::string, std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        targets[entry.path().filename().string()] = std::filesystem::read_symlink(entry.path(), error).string();
    }
    return targets;
}

std::string added_since(const std::map<std::string, std::string>& before) {
    std::string added;
    for (const auto& [fd, target] : descriptor_targets()) {
        const auto was = before.find(fd);
        if (was == before.end() || was->second != target) added += fd + " -> " + target + "; ";
    }
    return added;
}

// Descriptors of this process on the device (a vanished node reads "... (deleted)").
size_t descriptors_on(const std::string& device) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(device, 0) == 0) ++count;
    }
    return count;
}

struct ReadCase {
    const char* name;
    ScaleReply reply;
    std::chrono::milliseconds gap;
    std::size_t count;
    std::chrono::milliseconds at_least;
    std::chrono::milliseconds at_most;
};

TEST(SerialPort, ReadEndsOnEightBytesOrAtTheTimeOut) {
    const std::string eight = delimited_frame("01.234");
    const std::string seven = fixed_frame("01234");
    const ReadCase cases[] = {
        {"eight bytes return at once", ScaleReply::bytes(eight), 0ms, 8, 0ms, 400ms},
        {"seven bytes wait out the time-out", ScaleReply::bytes(seven), 0ms, 7, 950ms, 1400ms},
        {"silence returns nothing after the time-out", ScaleReply::silence(), 0ms, 0, 950ms, 1400ms},
        {"a gap ends a seven-byte reply early", ScaleReply::bytes(seven), 20ms, 7, 0ms, 300ms},
        {"a gap does not end a silent read", ScaleReply::silence(), 20ms, 0, 950ms, 1400ms},
        {"a pause shorter than the gap is waited out", ScaleReply::split(eight, 3, 60ms), 200ms, 8, 50ms, 500ms},
        {"a pause longer than the gap ends the read", ScaleReply::split(eight, 3, 300ms), 50ms, 3, 40ms, 280ms},
        {"a late reply within the time-out", ScaleReply::after(300ms, eight), 0ms, 8, 280ms, 800ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleEmulator scale({c.reply});
        auto port = SerialPort::open(scale.device_path(), "9600", LinkOptions{c.gap}).port;
        ASSERT_NE(port, nullptr);
        ReceiveBuffer buffer{};
        const auto start = Clock::now();
        const auto count = port->poll(buffer);
        const auto took = since(start);
        ASSERT_TRUE(count.has_value());
        EXPECT_EQ(*count, c.count);
        EXPECT_GE(took, c.at_least);
        EXPECT_LE(took, c.at_most);
        EXPECT_EQ(scale.polls(), 1);
    }
}

TEST(SerialPort, PollPutsEnqAndZeroFirstAndKeepsTheRest) {
    ScaleEmulator scale({ScaleReply::bytes("AB")});
    auto port = SerialPort::open(scale.device_path(), "9600", LinkOptions{20ms}).port;
    ASSERT_NE(port, nullptr);
    ReceiveBuffer buffer{'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    ASSERT_EQ(port->poll(buffer), 2u);
    EXPECT_EQ(received_text(buffer, 8), "ABxxxxxx");
    ReceiveBuffer silent{'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    ASSERT_EQ(port->poll(silent), 0u);
    EXPECT_EQ(received_text(silent, 3), std::string("\x05\0x", 3));
}

TEST(SerialPort, BytesThatArriveLateAreReadByTheNextPoll) {
    ScaleEmulator scale({ScaleReply::split("ABCDEFGH", 6, 1200ms)});
    auto port = SerialPort::open(scale.device_path(), "9600").port;
    ASSERT_NE(port, nullptr);
    ReceiveBuffer buffer{};
    ASSERT_EQ(port->poll(buffer), 6u);
    EXPECT_EQ(received_text(buffer, 6), "ABCDEF");
    ASSERT_EQ(port->poll(buffer), 2u);
    EXPECT_EQ(received_text(buffer, 2), "GH");
}

TEST(SerialPort, LineIsRaw8N1AtTheRateWithoutSoftwareFlowControl) {
    struct Case { const char* baud; unsigned rate; bool rtscts; bool xonxoff; };
    const Case cases[] = {
        {"9600", 9600, false, false},
        {"115200", 115200, true, false},
        {"2400", 2400, false, true},
        {"31250", 31250, false, false},  // no Bnnn constant
        {"4321", 4321, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        ScaleEmulator scale({});
        termios before = scale.line_settings();
        // A cooked line with 7E2 and the flow control under test, as a device may come.
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_iflag |= ICRNL;
        before.c_oflag |= OPOST;
        before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
        before.c_cflag = c.rtscts ? (before.c_cflag | CRTSCTS) : (before.c_cflag & ~CRTSCTS);
        before.c_iflag = c.xonxoff ? (before.c_iflag | IXON | IXOFF) : (before.c_iflag & ~(IXON | IXOFF));
        scale.set_line_settings(before);

        auto port = SerialPort::open(scale.device_path(), c.baud).port;
        ASSERT_NE(port, nullptr);
        const termios after = scale.line_settings();
        EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(after.c_cflag & PARENB);
        EXPECT_FALSE(after.c_cflag & CSTOPB);
        EXPECT_TRUE(after.c_cflag & CREAD);
        EXPECT_TRUE(after.c_cflag & CLOCAL);
        EXPECT_FALSE(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
        EXPECT_FALSE(after.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
        EXPECT_FALSE(after.c_oflag & OPOST);
        EXPECT_EQ(bool(after.c_cflag & CRTSCTS), c.rtscts);
        EXPECT_FALSE(after.c_iflag & (IXON | IXOFF | IXANY));
        EXPECT_EQ(scale.line_baud_rate(), c.rate);
    }
}

// Writes a UUCP lock file naming the process.
void write_lock(const fs::path& folder, const std::string& device, long pid) {
    std::ofstream(folder / uucp_lock_name(device)) << std::setw(10) << pid << "\n";
}

// Another program that holds the device open while it lives (killed and waited for on every way out).
class DeviceHolder {
public:
    explicit DeviceHolder(const std::string& device) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Nothing of the test's (the emulator's master side among it) stays open in the holder.
            for (int fd = 3; fd < 1024; ++fd) {
                if (fd != ready[1]) ::close(fd);
            }
            const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
            const char told = fd >= 0 ? '1' : '0';
            if (::write(ready[1], &told, 1) != 1) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char told = '0';
        if (pid_ < 0 || ::read(ready[0], &told, 1) != 1 || told != '1') pid_ = -1;
        ::close(ready[0]);
    }
    ~DeviceHolder() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

long a_dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(SerialPort, OpenSaysWhyThePortCannotBeHadAndTouchesNothingElse) {
    ScaleEmulator scale({});
    testing::TempFolder locks;
    LinkOptions options;
    options.lock_folder = locks.str();
    struct Case { const char* what; std::string device; const char* baud; PortProblem problem; };
    const Case cases[] = {
        {"missing device", "/dev/ttyNoSuchScale", "9600", PortProblem::Missing},
        {"missing device, letters in the baud text", "/dev/ttyNoSuchScale", "abc", PortProblem::Missing},
        {"not a tty", "null", "9600", PortProblem::NameRefused},
        {"the controlling terminal's alias", "tty", "9600", PortProblem::NameRefused},
        {"the pty multiplexer", "ptmx", "9600", PortProblem::NameRefused},
        {"the console", "console", "9600", PortProblem::NameRefused},
        {"a regular file up the tree", "../etc/hostname", "9600", PortProblem::NameRefused},
        {"a folder", "/tmp", "9600", PortProblem::NameRefused},
        {"rate zero", scale.device_path(), "0", PortProblem::SettingsRefused},
        {"negative rate", scale.device_path(), "-9600", PortProblem::SettingsRefused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const OpenResult opened = SerialPort::open(c.device, c.baud, options);
        EXPECT_EQ(opened.port, nullptr);
        EXPECT_EQ(opened.failure.problem, c.problem);
        EXPECT_NE(opened.failure.message.find(posix_device_path(c.device)), std::string::npos) << opened.failure.message;
    }
    EXPECT_TRUE(fs::is_empty(locks.path()));
}

// Opening a terminal without O_NOCTTY after setsid() makes it the child's
// controlling terminal; the module must then refuse it by any name.
TEST(SerialPort, TheProcesssOwnTerminalIsRefused) {
    ScaleEmulator scale({});
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const int fd = ::open(scale.device_path().c_str(), O_RDWR);
        if (fd < 0 || ::tcgetpgrp(fd) != ::getpgrp()) ::_exit(2);
        const OpenResult opened = SerialPort::open(scale.device_path(), "9600");
        ::_exit(!opened && opened.failure.problem == PortProblem::NameRefused ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SerialPort, UucpLockKeepsOthersOutAndIsOursWhileWeHoldThePort) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&, const std::string&)> before;
        bool opens;
        // A live program that holds the device wrote the lock, whose time then lies this far in the past.
        std::optional<std::chrono::hours> holder_lock_age = std::nullopt;
    };
    const auto none = [](const fs::path&, const std::string&) {};
    const Case cases[] = {
        {"no lock", [](const fs::path&, const std::string&) {}, true},
        {"a live process's lock", [](const fs::path& f, const std::string& d) { write_lock(f, d, 1); }, false},
        {"a dead process's lock", [](const fs::path& f, const std::string& d) { write_lock(f, d, a_dead_pid()); }, true},
        // Left by a killed process whose PID a later one got: written before that process started.
        {"a lock older than the process it names",
         [](const fs::path& f, const std::string& d) {
             write_lock(f, d, 1);
             fs::last_write_time(f / uucp_lock_name(d), fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650));
         },
         true},
        {"a lock without a pid", [](const fs::path& f, const std::string& d) { std::ofstream(f / uucp_lock_name(d)) << "x"; }, true},
        // The writer holds the port: the wall clock stepped forward after it wrote the lock (NTP at boot,
        // a hardware clock in local time), or the lock's time was set back. It is never taken from it.
        {"a live holder's lock, the clock stepped 1 h since", none, false, std::chrono::hours(1)},
        {"a live holder's lock, the clock stepped 3 h since", none, false, std::chrono::hours(3)},
        {"a live holder's lock, its time set back ten years", none, false, std::chrono::hours(24 * 3650)},
        {"a lock folder that is missing", [](const fs::path& f, const std::string&) { fs::remove(f); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The emulator's thread reads the lock while the poll is under way; what it saw is handed over
        // under a mutex, and both outlive the emulator.
        std::mutex seen;
        std::string held_during_poll;
        ScaleEmulator scale({ScaleReply::bytes(delimited_frame("01.234"))});
        testing::TempFolder locks;
        const fs::path lock_file = locks.path() / uucp_lock_name(scale.device_path());
        c.before(locks.path(), scale.device_path());
        std::optional<DeviceHolder> holder;
        long named = 1;
        if (c.holder_lock_age) {
            holder.emplace(scale.device_path());
            ASSERT_GT(holder->pid(), 0);
            named = holder->pid();
            write_lock(locks.path(), scale.device_path(), named);
            fs::last_write_time(lock_file, fs::file_time_type::clock::now() - *c.holder_lock_age);
        }
        LinkOptions options;
        options.lock_folder = locks.str();
        scale.on_poll([&seen, &held_during_poll, lock_file](int, const ScaleReply&) {
            std::string held = testing::read_file(lock_file);
            const std::lock_guard lock(seen);
            held_during_poll = std::move(held);
        });
        {
            const OpenResult opened = SerialPort::open(scale.device_path(), "9600", options);
            ASSERT_EQ(bool(opened), c.opens) << opened.failure.message;
            if (!c.opens) {
                EXPECT_EQ(opened.failure.problem, PortProblem::Busy);
                EXPECT_NE(opened.failure.message.find("processo " + std::to_string(named)), std::string::npos)
                    << opened.failure.message;
                continue;
            }
            ReceiveBuffer buffer{};
            EXPECT_EQ(opened.port->poll(buffer), 8u);
        }
        if (fs::exists(locks.path())) {
            const std::lock_guard lock(seen);
            EXPECT_EQ(std::stol(held_during_poll), static_cast<long>(::getpid()));
            EXPECT_FALSE(fs::exists(lock_file));
        }
    }
}

TEST(SerialPort, TheReplyReadIsThisPollsOwn) {
    struct Case { const char* what; std::string waiting; std::vector<ScaleReply> script; bool xon_xoff_before; };
    const std::string frame = delimited_frame("01.234");
    const Case cases[] = {
        // A late reply to an earlier call waits in the input queue.
        {"a stale reply before the open", delimited_frame("99.999"), {ScaleReply::bytes(frame)}, false},
        // With XON/XOFF on, 0x13 would stop our output and 0x11 vanish.
        {"flow-control bytes in a reply", "", {ScaleReply::bytes("\x02\x13"), ScaleReply::bytes(frame)}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScaleEmulator scale(c.script);
        termios line = scale.line_settings();
        if (c.xon_xoff_before) line.c_iflag |= IXON | IXOFF;
        scale.set_line_settings(line);
        if (!c.waiting.empty()) scale.say(c.waiting);
        auto port = SerialPort::open(scale.device_path(), "9600", LinkOptions{50ms}).port;
        ASSERT_NE(port, nullptr);
        ReceiveBuffer buffer{};
        std::optional<std::size_t> count;
        for (std::size_t i = 0; i < c.script.size(); ++i) count = port->poll(buffer);
        ASSERT_TRUE(count.has_value());
        EXPECT_EQ(received_text(buffer, *count), frame);
    }
}

TEST(SerialPort, SecondOpenerGetsNoneWhileTheFirstHoldsThePort) {
    ScaleEmulator scale({});
    auto first = SerialPort::open(scale.device_path(), "9600").port;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(SerialPort::open(scale.device_path(), "9600").port, nullptr);
    first.reset();
    EXPECT_NE(SerialPort::open(scale.device_path(), "9600").port, nullptr);
}

TEST(SerialPort, BaudTextWithLettersRaisesAfterTheOpenAndFreesThePort) {
    ScaleEmulator scale({});
    const size_t before = open_descriptors();
    for (const char* baud : {"96OO", "", "9600 bps", "1.5"}) {
        SCOPED_TRACE(baud);
        EXPECT_THROW(SerialPort::open(scale.device_path(), baud).port, Falha);
        EXPECT_EQ(open_descriptors(), before);
    }
    EXPECT_NE(SerialPort::open(scale.device_path(), "9600").port, nullptr);
}

TEST(SerialPort, HangUpDuringAReadFailsAtOnce) {
    ScaleReply late_hangup = ScaleReply::after(200ms, "AB");
    late_hangup.hang_up = true;
    for (const ScaleReply& reply : {ScaleReply::hangup(), late_hangup}) {
        SCOPED_TRACE(reply.describe());
        ScaleEmulator scale({reply});
        auto port = SerialPort::open(scale.device_path(), "9600").port;
        ASSERT_NE(port, nullptr);
        ReceiveBuffer buffer{};
        const auto start = Clock::now();
        EXPECT_EQ(port->poll(buffer), std::nullopt);
        EXPECT_LT(since(start), 600ms);
    }
}

TEST(SerialPort, NoDescriptorOutlivesItsConnection) {
    ScaleEmulator scale({ScaleReply::bytes(delimited_frame("01.234")), ScaleReply::hangup()}, false);
    const size_t before = open_descriptors();
    const auto targets = descriptor_targets();
    const size_t on_device = descriptors_on(scale.device_path());  // the scale's own side
    {
        auto port = SerialPort::open(scale.device_path(), "9600").port;
        ASSERT_NE(port, nullptr);
        auto busy = SerialPort::open(scale.device_path(), "9600").port;
        EXPECT_EQ(busy, nullptr);
        ReceiveBuffer buffer{};
        EXPECT_EQ(port->poll(buffer), 8u);
        EXPECT_EQ(port->poll(buffer), std::nullopt);
    }
    EXPECT_EQ(SerialPort::open("/dev/ttyNoSuchScale", "9600").port, nullptr);
    EXPECT_EQ(descriptors_on(scale.device_path()), on_device);
    EXPECT_EQ(open_descriptors(), before - 1) << "opened since: " << added_since(targets);  // less the master side the hang-up closed
}

}  // namespace
}  // namespace Wsr37100
