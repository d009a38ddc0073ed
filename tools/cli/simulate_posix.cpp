// `wsr37100 simulate`: a scale played on a pseudo-terminal until Ctrl-C or SIGTERM;
// each line on its standard input changes the scale's answer.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "commands.hpp"
#include "common/exit_codes.hpp"
#include "common/interrupts.hpp"
#include "scale_emulator.hpp"
#include "script.hpp"

namespace Wsr37100::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kIdle{1000};
// How soon a stop is seen while standard input is watched (the interrupts are
// taken by a thread of their own, so they do not wake the wait).
constexpr int kInputTickMs = 100;
// How often a simulator in the background looks whether its terminal is back.
constexpr std::chrono::milliseconds kBackground{250};
constexpr size_t kLongestLine = 4096;

// A symbolic link that this process made and removes: it never replaces
// anything, and it is removed only while it still points where it was made to.
class OwnLink {
public:
    OwnLink(fs::path link, fs::path target) : link_(std::move(link)), target_(std::move(target)) {
        std::error_code error;
        fs::create_symlink(target_, link_, error);
        if (error == std::errc::file_exists) {
            throw std::runtime_error(link_.string() + " already exists; choose a path that does not, "
                                     "the simulator never replaces a file");
        }
        if (error == std::errc::no_such_file_or_directory) {
            throw std::runtime_error("the folder " + link_.parent_path().string() + " does not exist");
        }
        if (error) throw std::runtime_error("cannot make the link " + link_.string() + ": " + error.message());
    }
    ~OwnLink() {
        std::error_code error;
        if (fs::read_symlink(link_, error) == target_ && !error) fs::remove(link_, error);
    }
    OwnLink(const OwnLink&) = delete;
    OwnLink& operator=(const OwnLink&) = delete;

private:
    fs::path link_;
    fs::path target_;
};

// Standard input as lines, each one a new answer for the scale from its next
// poll on. The end of input, or no standard input at all, changes nothing.
class AnswerLines {
public:
    AnswerLines(ScaleEmulator& scale, const SimulateOptions& options)
        : scale_(scale), options_(options), terminal_(::isatty(STDIN_FILENO) == 1) {
        // A read from a terminal by a background job fails (EIO) rather than stopping the process.
        previous_ttin_ = ::signal(SIGTTIN, SIG_IGN);
    }
    ~AnswerLines() { ::signal(SIGTTIN, previous_ttin_); }
    AnswerLines(const AnswerLines&) = delete;
    AnswerLines& operator=(const AnswerLines&) = delete;

    // A terminal whose keyboard is this process's (or one that is not its
    // controlling terminal, which no job control holds back): its user may type.
    bool typed_here() const {
        if (!terminal_) return false;
        const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
        return foreground == ::getpgrp() || (foreground < 0 && errno == ENOTTY);
    }

    // Takes what has come within a tick; false once there is nothing more to take.
    bool take(const common::Interrupts& interrupts) {
        if (ended_) return false;
        if (terminal_ && !typed_here()) {
            // Started with & or suspended: the shell has the keyboard until fg.
            interrupts.sleep_for(kBackground);
            return true;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, kInputTickMs) <= 0 || input.revents == 0) return true;
        char bytes[512];
        const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < 0 && errno == EIO && terminal_) {  // sent to the background between the look and the read
            interrupts.sleep_for(kBackground);
            return true;
        }
        if (n <= 0) {
            if (!skipping_) answer(pending_);
            ended_ = true;
            // Said only to whoever could have given answers: not to a /dev/null.
            if (heard_ || terminal_) std::fprintf(stderr, "standard input ended; the answer stays, Ctrl-C to stop\n");
            return false;
        }
        heard_ = true;
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == '\n') {
                if (!skipping_) answer(pending_);
                pending_.clear();
                skipping_ = false;
            } else if (!skipping_ && pending_.size() == kLongestLine) {
                std::fprintf(stderr, "wsr37100 simulate: a line longer than %zu characters; the answer is unchanged\n",
                             kLongestLine);
                pending_.clear();
                skipping_ = true;
            } else if (!skipping_) {
                pending_ += bytes[i];
            }
        }
        return true;
    }

private:
    void answer(const std::string& line) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) return;  // an Enter alone
        const std::string shown = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        try {
            scale_.replace_script(script_for_line(line, options_));
            std::fprintf(stderr, "answering %s from the next poll\n", shown.c_str());
        } catch (const std::invalid_argument& error) {
            std::fprintf(stderr, "wsr37100 simulate: %s; the answer is unchanged\n", error.what());
        }
    }

    ScaleEmulator& scale_;
    const SimulateOptions& options_;
    const bool terminal_;
    void (*previous_ttin_)(int) = SIG_DFL;
    std::string pending_;
    bool skipping_ = false;  // the rest of a line too long to be an answer
    bool heard_ = false;  // anything came at all
    bool ended_ = false;
};

// --background: the scale is played by a child in a session of its own, made
// before any thread; this process waits for the child's word that its link
// answers (a byte on a pipe), prints the child's id and returns. A child that
// ends first closes the pipe, and its exit status is this process's.
class Background {
public:
    // Returns in the child (playing()) or, in the parent, once the child is ready or gone.
    Background() {
        int ends[2];
        if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        child_ = ::fork();
        if (child_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
        if (child_ == 0) {
            ::close(ends[0]);
            ::setsid();  // no Ctrl-C nor hang-up of the terminal it was started from
            if (::isatty(STDIN_FILENO) == 1) {  // the keyboard stays the shell's: answers come from a pipe only
                const int null = ::open("/dev/null", O_RDONLY);
                if (null >= 0) {
                    ::dup2(null, STDIN_FILENO);
                    ::close(null);
                }
            }
            ready_ = ends[1];
            return;
        }
        ::close(ends[1]);
        char byte = 0;
        ssize_t n;
        while ((n = ::read(ends[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        ::close(ends[0]);
        answered_ = n == 1;
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() {
        if (ready_ >= 0) ::close(ready_);
    }

    bool playing() const { return child_ == 0; }

    // The parent's status: 0 with the child's id on stdout, or the status of a child that ended.
    int finish() const {
        if (answered_) {
            std::printf("%ld\n", static_cast<long>(child_));
            return 0;
        }
        int status = 0;
        while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }

    // In the child, once the link answers: stdout leaves the caller's pipe (a $(...) waits for its end).
    void ready() {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
        const char byte = 1;
        while (::write(ready_, &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(ready_);
        ready_ = -1;
    }

private:
    pid_t child_ = -1;
    int ready_ = -1;
    bool answered_ = false;
};

}  // namespace

int simulate(const SimulateOptions& options) {
    std::vector<ScaleReply> script;
    try {
        script = build_script(options);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "wsr37100 simulate: %s\n", error.what());
        return common::kExitUsage;
    }
    std::optional<Background> background;
    if (options.background) {
        background.emplace();
        if (!background->playing()) return background->finish();
    }
    const common::Interrupts interrupts;
    ScaleEmulator scale(script, true);
    scale.line_speed(options.line_speed);
    if (options.verbose) {
        scale.on_poll([](int poll, const ScaleReply& reply) {
            std::fprintf(stderr, "poll %d: %s\n", poll, reply.describe().c_str());
        });
    }
    std::optional<OwnLink> link;
    try {
        if (!options.link.empty()) link.emplace(options.link, scale.device_path());
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "wsr37100 simulate: %s\n", error.what());
        return common::kExitCannotCreate;
    }
    if (background) {
        std::fprintf(stderr, "simulated scale on %s, process %ld; kill %ld to stop\n", scale.device_path().c_str(),
                     static_cast<long>(::getpid()), static_cast<long>(::getpid()));
        background->ready();
    } else {
        std::printf("%s\n", options.link.empty() ? scale.device_path().c_str() : options.link.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "simulated scale on %s; Ctrl-C to stop\n", scale.device_path().c_str());
    }
    AnswerLines lines(scale, options);
    if (lines.typed_here()) {
        std::fprintf(stderr, "type a weight, I, N, S or silent, then Enter, to change the answer\n");
    }
    while (!interrupts.requested() && lines.take(interrupts)) {
    }
    while (interrupts.sleep_for(kIdle)) {
    }
    return 0;
}

}  // namespace Wsr37100::cli
