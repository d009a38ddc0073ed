#!/usr/bin/env python3
"""The suite's sensitivity to small mistakes.

Each mutant is one plausible slip in the code (a comparison off by one, a case
forgotten, a check left out). For each: the change is applied, the native build
rebuilt, the cases that concern it run once (no retries); a failure means the
suite caught the mistake. The original file is always put back, even on Ctrl-C.

    python3 scripts/mutants.py [--build build/native] [--area NAME] [--list]

Prints a Markdown table per area (caught of total) and the mutants missed.
Standard library only. Exit status 0 when every area catches at least 90 %.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

STABLE = r"StableWeight|Weighing|Monitor\.ReportsEach"
SERIAL = r"SerialPort|DeviceName"
MONITOR = r"Monitor\.|NetworkLink\.AServerThatWillNot|NetworkLink\.LogsTheName"
NETWORK = r"NetworkLink|TelnetCodec"
DETECTION = r"Detection"
SERVICE = r"^service$"
PARSERS = r"^Config\.|^Query\.|^service$"
ROUTES = r"^Route\.|^service$"
SCALE = r"^ScaleChanges\.|^service$"
LOG = r"DailyLog|LogFaults|^service$"
CSHARP = r"^csharp$"
LETTER = r"^Peso\.|^tool$"
ORIGINS = r"^Route\.|^tool$"

# (area, file, exact original text, replacement, ctest -R regex)
MUTANTS = [
    # The stable wait and the reading of one reply.
    ("stable wait", "src/weighing/weight_query.cpp",
     "return report.letter == 'N' || report.letter == 'S';", "return report.letter == 'N';", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "return report.letter == 'N' || report.letter == 'S';", "return report.letter == 'S';", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "equal = (equal > 0 && report.weight == last_weight) ? equal + 1 : 1;", "equal = equal + 1;", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "        equal = 0;\n        return report.letter", "        return report.letter", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "return equal >= std::max(1u, wait.equal_readings);", "return equal > std::max(1u, wait.equal_readings);", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "        if (report.outcome == Outcome::NoReading) break;\n        report.settled",
     "        report.settled", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "const Deadline until(wait.within);", "const Deadline until(wait.within / 2);", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "report.settled = settled(report, wait, last_weight, equal);",
     "report.settled = report.outcome == Outcome::Weight;", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "for (int attempt = 1; attempt <= kMaxPolls; ++attempt)", "for (int attempt = 1; attempt < kMaxPolls; ++attempt)",
     STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "const bool frame = act_read == kFixedFrameSize || act_read == kDelimitedFrameSize;",
     "const bool frame = act_read == kDelimitedFrameSize;", STABLE),
    ("stable wait", "src/weighing/weight_query.cpp",
     "if (frame && leftovers == Leftovers::Resync && buffer[0] != kStx)", "if (frame && buffer[0] != kStx)", STABLE),

    # Serial ports: UUCP locks and device names.
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "return process_holds(holder.pid, device).value_or(true);", "return false;", SERIAL),
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "if (!started || *started <= holder.written + kClockSlack) return true;", "", SERIAL),
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "        ::unlink(lock_file.c_str());  // stale", "        // stale", SERIAL),
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "UucpLock::~UucpLock() {\n    if (!path_.empty()) ::unlink(path_.c_str());",
     "UucpLock::~UucpLock() {\n    if (path_.empty()) ::unlink(path_.c_str());", SERIAL),
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "        if (c == '/') c = '_';", "        if (c == '.') c = '_';", SERIAL),
    ("serial", "src/link/serial/uucp_lock_posix.cpp",
     "constexpr int kTakeAttempts = 2;", "constexpr int kTakeAttempts = 1;", SERIAL),
    ("serial", "src/link/serial/serial_posix.cpp",
     "if (attempt.holder != 0) {", "if (attempt.holder > 1) {", SERIAL),
    ("serial", "src/link/serial/serial_posix.cpp",
     "if (rate <= 0) return settings_refused(path, rate, EINVAL);",
     "if (rate < 0) return settings_refused(path, rate, EINVAL);", SERIAL),
    ("serial", "src/link/serial/device_name.cpp",
     'if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);',
     'if (number >= 0) return "/dev/ttyS" + std::to_string(number - 1);', SERIAL),
    ("serial", "src/link/serial/device_name.cpp",
     "bool all_digits = digits.size() <= 6;", "bool all_digits = digits.size() <= 1;", SERIAL),
    ("serial", "src/link/serial/device_name.cpp",
     'lowered != "globalroot" && lowered != "global" && lowered != "unc"',
     'lowered != "globalroot" && lowered != "unc"', SERIAL),


    # The daily log: its turn, its bound, its file.
    ("log", "src/log/log_posix.cpp",
     "flags |= O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;", "flags |= O_CLOEXEC | O_NONBLOCK;", LOG),
    ("log", "src/log/log_posix.cpp",
     "    if (errno == EAGAIN || errno == EACCES) return false;\n", "", LOG),
    ("log", "src/log/log_posix.cpp",
     "        (void)::fchmod(unnamed, mode);\n", "", LOG),
    ("log", "src/log/log_posix.cpp",
     "cut = ::ftruncate(handle_->file.get(), static_cast<off_t>(before));", "cut = 0;", LOG),
    ("log", "src/log/daily_log.cpp",
     "impatient ? kImpatientWait : kLockPatience;", "(kLockPatience * 100);", LOG),
    ("log", "src/log/daily_log.cpp",
     "still_since - *t.hold_seen < kHoldRemembered && ", "", LOG),
    ("log", "src/log/daily_log.cpp",
     " && t.hold_mark == mark;", ";", LOG),
    ("log", "src/log/daily_log.cpp",
     "                still_since = now;\n", "", LOG),
    ("log", "src/log/daily_log.cpp",
     "            while (t.left.erase(t.serving) > 0) ++t.serving;\n", "", LOG),
    ("log", "src/log/daily_log.cpp",
     "    const Turn turn(folder_, file, path, stop_);\n", "", LOG),
    ("log", "src/log/daily_log.cpp",
     "file.size() + line.size() <= day_limit_", "file.size() < day_limit_", LOG),
    ("log", "src/log/daily_log.cpp",
     "file.replace_tail(count_text(*dropped + 1)", "file.replace_tail(count_text(*dropped)", LOG),
    ("log", "src/log/daily_log.cpp",
     "    return dropped_so_far(*end).value_or(0);", "    return end->empty() ? 0 : 1;", LOG),
    ("log", "src/log/log_posix.cpp",
     "        if (errno == ENOENT) return std::nullopt;\n", "", LOG),

    # The monitor's worker.
    ("monitor", "src/monitor/monitor.cpp",
     "} else if (!overdue_seen_ || overdue_seen_->first != step_started_) {", "} else if (!overdue_seen_) {", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "now - overdue_seen_->second >= kStallConfirmation", "now >= overdue_seen_->second", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "if (lost_) publish(*std::exchange(lost_, std::nullopt));", "lost_.reset();", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "    port.drain(&interrupt_);\n", "", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "if (now < next_poll) rest(stop, std::chrono::ceil<std::chrono::milliseconds>(next_poll - now));",
     "(void)next_poll;", MONITOR),
    ("origins", "tools/common/origin.cpp",
     "if (end - i > run) run_at = i, run = end - i;", "if (end - i >= run) run_at = i, run = end - i;", ORIGINS),
    ("origins", "tools/cli/browser_policy_linux.cpp",
     "    if ((status.st_mode & S_IROTH) == 0) return absolute.string() + \" is not readable by others\";\n", "", ORIGINS),
    ("origins", "tools/cli/browser_policy_linux.cpp",
     "if ((status.st_mode & S_IXOTH) == 0) return \"the folder \"", "if ((status.st_mode & S_IROTH) == 0) return \"the folder \"",
     ORIGINS),
    ("monitor", "src/monitor/monitor.cpp",
     "wake_.wait_for(guard, stop, pause, [] { return false; });",
     "guard.unlock();\n    std::this_thread::sleep_for(pause);", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "if (!opened && stop.stop_requested()) return;", "if (!opened && stop.stop_requested() && false) return;", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "x.outcome == y.outcome && x.reason == y.reason", "x.outcome == y.outcome", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "x.weight == y.weight && x.letter == y.letter", "x.letter == y.letter", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "constexpr std::chrono::seconds kChangeLineEvery{1};", "constexpr std::chrono::seconds kChangeLineEvery{0};", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "    if (lost_) publish(*std::exchange(lost_, std::nullopt));", "    lost_.reset();", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "if (!stop.stop_requested() && !lost_) rest(stop, settings_.reopen_every);",
     "if (!stop.stop_requested()) rest(stop, settings_.reopen_every);", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "    log_failure_ = std::move(failure);\n", "", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "    --folded_;  // the line tells this one", "", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "            retry_log();\n", "", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "x.weight == y.weight && x.letter == y.letter", "x.weight == y.weight", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "if (now <= step_due_ || stalled_) {", "if (stalled_) {", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "reading.number = ++count_;", "reading.number = count_++;", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "!std::exchange(retell_, false) && ", "", MONITOR),
    ("monitor", "src/monitor/monitor.cpp",
     "reading.report, &interrupt_, Leftovers::Resync);", "reading.report, &interrupt_, Leftovers::Keep);", MONITOR),
    # Left out, equivalent: log_folded() without its own check of the second (log_change() folds
    # a line within the second all the same); std::max(1u, wait.equal_readings) without the max
    # (a run of equal weights counts from 1).

    # The network link and the Telnet codec.
    ("network", "src/link/network/telnet.cpp",
     "        if (data[i] == kIac) wire += static_cast<char>(kIac);\n", "", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "const std::string escaped = escape(reinterpret_cast<const unsigned char*>(value.data()), value.size());",
     "const std::string escaped = value;", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "            if (option == kComPort) com_port_refused_ = true;\n", "", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "            if (option == kComPort) com_port_agreed_ = true;\n", "", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "kServerOffset)] = sub_.substr(2);", "kServerOffset)] = sub_.substr(1);", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "                    state_ = State::Sub;\n                    keep_in_subnegotiation(b);",
     "                    state_ = State::Sub;", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "                    data += static_cast<char>(kIac);\n                    state_ = State::Data;",
     "                    state_ = State::Data;", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "if (sub_.size() >= kLongestSubnegotiation) {", "if (sub_.size() > kLongestSubnegotiation) {", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "        return true;\n    }\n\n    // Drops what is already readable",
     "        return false;\n    }\n\n    // Drops what is already readable", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     'if (telnet_->acknowledged(kSetBaudRate) != baud) return Refusal{std::to_string(rate) + " baud"};', "", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "        if (telnet_->com_port_refused()) return", "        if (false) return", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "constexpr std::chrono::milliseconds kNegotiationTimeout{1000};",
     "constexpr std::chrono::milliseconds kNegotiationTimeout{2000};", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "constexpr std::chrono::milliseconds kSettleQuiet{50};", "constexpr std::chrono::milliseconds kSettleQuiet{0};",
     NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "        if (!discard_waiting(interrupt)) return dropped(interrupt);\n", "", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "        if (telnet_->overflowed()) {", "        if (false) {", NETWORK),
    ("network", "src/link/port_name.cpp",
     "std::stol(port) < 1 ||", "std::stol(port) < 0 ||", NETWORK),
    ("network", "src/link/network/telnet.cpp",
     "if (will_sent_.insert(option).second) replies += verb(kWill, option);",
     "will_sent_.insert(option);\n                replies += verb(kWill, option);", NETWORK),
    ("network", "src/link/network/network_link.cpp",
     "            if (limit.expired()) return false;\n            if (socket_->wait", "            if (socket_->wait",
     NETWORK + "|" + DETECTION),
    ("network", "src/link/network/network_link.cpp",
     "            pending_.clear();\n        }\n        return true;\n    }\n\n    // Drops what is already readable",
     "            pending_.clear();\n        }\n        return false;\n    }\n\n    // Drops what is already readable",
     NETWORK + "|" + DETECTION),

    # Finding the scale.
    ("detection", "src/detection/detection.cpp",
     "return c >= 0x20 && c < 0x7F;", "return c >= 0x20 && c != 0x7F;", DETECTION),
    ("detection", "src/detection/detection.cpp",
     "return deadline.remaining() >= 2 * each;", "return deadline.remaining() >= each;", DETECTION),
    ("detection", "src/detection/detection.cpp",
     "if (rates.size() > kMaxRates)", "if (rates.size() >= kMaxRates)", DETECTION),
    ("detection", "src/detection/detection.cpp",
     "const auto first_wait = careful ? wait + kSilenceConfirmation : wait;", "const auto first_wait = wait;", DETECTION),
    ("detection", "src/detection/detection.hpp",
     "kSilenceConfirmation{500};", "kSilenceConfirmation{0};", DETECTION),
    ("detection", "src/detection/detection.cpp",
     "refused ? LineVerdict::RateRefused : LineVerdict::Unanswered", "LineVerdict::RateRefused", DETECTION),
    ("detection", "src/detection/detection.cpp",
     "if (trial.verdict == LineVerdict::Frame && trial.frame != first_frame)",
     "if (trial.verdict == LineVerdict::Frame && false)", DETECTION),

    # The scale's I told from an unreadable reply, and a number only for a weight.
    ("status letter", "include/wsr37100.hpp",
     "if (bytes[at] > blank) return", "if (bytes[at] != blank) return", LETTER),
    ("status letter", "include/wsr37100.hpp",
     " && bytes[length] != 0) ++length;", ") ++length;", LETTER),
    ("status letter", "include/wsr37100.hpp",
     "if (count == 7) return length > 1 && bytes[1] == 'I' ? 'I' : 0;", "if (count == 7) return 'I';", LETTER),
    ("status letter", "tools/common/reading.cpp",
     "reading.tipo == WSR_PESO ? nlohmann::ordered_json(reading.peso) : nlohmann::ordered_json()",
     "reading.tipo == WSR_FALHA ? nlohmann::ordered_json() : nlohmann::ordered_json(reading.peso)", r"^tool$|^service$"),
    ("status letter", "tools/cli/weigh.cpp",
     "std::FILE* out = reading.tipo == WSR_PESO ? stdout : stderr;", "std::FILE* out = stdout;", r"^tool$"),

    # The .NET library.
    ("c#", "examples/csharp/Wsr37100.cs",
     "return (uint)Math.Ceiling(time.TotalMilliseconds);", "return (uint)time.TotalMilliseconds;", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     "                    if (resposta[at] > Blank)", "                    if (resposta[at] != Blank)", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     "return first == 'I' ? ScaleStatus.Unstable : ScaleStatus.Unreadable;", "return ScaleStatus.Unstable;", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     "return numero == 0 ? null : Reading.OfMonitor(leitura);", "return Reading.OfMonitor(leitura);", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     "if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))", "if (c < 0x80)", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     'throw new InvalidOperationException("the monitor is running already");', "{ }", CSHARP),
    ("c#", "examples/csharp/Wsr37100.cs",
     '\n                               || host.StartsWith("mono", StringComparison.OrdinalIgnoreCase);', ";", CSHARP),

    # The HTTP service.
    ("routes", "tools/service/routes.cpp",
     "same_letters(value.substr(0, kBearer.size()), kBearer)", "value.substr(0, kBearer.size()) == kBearer", ROUTES),
    ("routes", "tools/service/routes.cpp",
     "unsigned char difference = a.size() == b.size() ? 0 : 1;", "unsigned char difference = 0;", ROUTES),
    ("routes", "tools/service/routes.cpp",
     'return name == "localhost" || name == "127.0.0.1"', 'return name == "127.0.0.1"', ROUTES),
    ("routes", "tools/service/routes.cpp",
     'return name == "localhost" ||', 'return name.ends_with("localhost") ||', ROUTES),
    ("routes", "tools/service/routes.cpp",
     "    if (colon != std::string_view::npos && !port_digits(host.substr(colon + 1))) return {};\n", "", ROUTES),
    ("routes", "tools/service/routes.cpp",
     "return reading.peso == -2 || reading.peso == -10;", "return reading.peso == -2;", ROUTES),
    ("routes", "tools/service/routes.cpp",
     "(tipo == WSR_SEM_LEITURA || tipo == WSR_FALHA)", "(tipo == WSR_SEM_LEITURA)", ROUTES),
    ("routes", "tools/service/routes.cpp",
     "parts.size() < 3 || parts.size() > 4 ||", "parts.size() < 3 ||", ROUTES),
    ("service", "tools/service/session.cpp",
     "if (headers > server_.settings.limits.headers) {", "if (headers >= server_.settings.limits.headers) {", SERVICE),
    ("service", "tools/service/session.cpp",
     "state_ == State::lingering || state_ == State::waiting", "state_ == State::lingering", SERVICE),
    ("service", "tools/service/address_posix.cpp",
     "return ::poll(&entry, 1, 0) == 0;", "return false;", SERVICE),
    ("service", "tools/service/address_posix.cpp",
     "SOL_SOCKET, SO_REUSEADDR, &on", "SOL_SOCKET, SO_REUSEPORT, &on", SERVICE),
    ("service", "tools/service/server.cpp",
     "if (open_connections() >= settings.limits.connections && !make_room())",
     "if (open_connections() > settings.limits.connections && !make_room())", SERVICE),
    ("routes", "tools/service/routes.cpp",
     'if (wait.stable) json["stable"] = tipo == WSR_PESO;', 'if (wait.stable) json["stable"] = true;', ROUTES),
    ("service", "tools/service/scale.cpp",
     "    if (number <= latest_.change) return;\n", "", SCALE),
    ("service", "tools/service/scale.cpp",
     "if (pulled.tipo == WSR_FALHA) take(", "take(", SCALE),
    ("service", "tools/service/config.cpp",
     "constexpr std::size_t kMaxNameLength = 32;", "constexpr std::size_t kMaxNameLength = 31;", PARSERS),
    ("service", "tools/service/config.cpp",
     "if (!found->is_number_unsigned() || found->get<std::uint64_t>() > most) {",
     "if (!found->is_number_unsigned() || found->get<std::uint64_t>() >= most) {", PARSERS),
    ("service", "tools/service/config.cpp",
     '    if (name == "localhost") name = "127.0.0.1";\n', "", PARSERS),
    ("service", "tools/service/config.cpp",
     ": port.substr(first);", ": port;", PARSERS),
    ("service", "tools/service/config.cpp",
     "scale.baud.size() - first > 10 ||", "scale.baud.size() - first > 20 ||", PARSERS),
    ("service", "tools/common/origin.cpp",
     '(host.size() > 10 && host.ends_with(".localhost"))', 'host.ends_with("localhost")', r"^Route\.|^tool$"),
    ("service", "tools/service/config.cpp",
     "    if (name.ends_with(':')) name.pop_back();  // the module's \"COM1:\"\n", "", PARSERS),
    ("service", "tools/service/query.cpp",
     "value > kMaxWaitMs) return std::nullopt;", "value >= kMaxWaitMs) return std::nullopt;", PARSERS),
    ("service", "tools/service/query.cpp",
     "            out += ' ';", "            out += '+';", PARSERS),
    ("service", "tools/service/metrics.cpp",
     "        if (seconds <= kBuckets[i]) ++latency_buckets_[i];",
     "        if (seconds <= kBuckets[i]) {\n            ++latency_buckets_[i];\n            break;\n        }", SERVICE),
    ("service", "tools/service/metrics.cpp",
     "    ++latency_count_;\n", "", SERVICE),
    ("service", "tools/service/metrics.cpp",
     'family(out, "wsr37100_http_requests_total", "counter"', 'family(out, "wsr37100_http_request_total", "counter"',
     SERVICE),
    ("service", "tools/service/problems.cpp",
     'Problem{503, "scale-unavailable"', 'Problem{500, "scale-unavailable"', SERVICE),
    ("service", "tools/service/problems.cpp",
     'Problem{504, "not-stable"', 'Problem{503, "not-stable"', SERVICE),
    ("service", "tools/service/scale.cpp",
     '        default: return "failure";', '        default: return "no-reading";', SCALE),
    ("service", "tools/service/scale.cpp",
     "    latest_.change = number;", "    ++latest_.change;", SCALE),
    ("service", "tools/service/scale.cpp",
     "if (pulled.tipo == WSR_FALHA) take(pulled, std::chrono::system_clock::now());", "(void)pulled;", SCALE),
]


def run(command, cwd, timeout=None):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def build(build_dir):
    return run(["cmake", "--build", build_dir, "-j2"], ROOT).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--area", action="append", help="only this area (may be repeated)")
    parser.add_argument("--list", action="store_true", help="list the mutants and check each applies; change nothing")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build)
    chosen = [m for m in MUTANTS if not args.area or m[0] in args.area]

    # Every original text must be found exactly once, or that mutant is out of date: it is named, the
    # others still run, and the run fails.
    stale = []
    for mutant in chosen:
        area, path, original = mutant[:3]
        full = os.path.join(ROOT, path)
        count = 0
        if os.path.exists(full):
            with open(full, encoding="latin-1") as file:
                count = file.read().count(original)
        if count != 1:
            stale.append(mutant)
            print("STALE %s: %s: %r found %d times (want once)" % (area, path, original.strip()[:70], count),
                  file=sys.stderr, flush=True)
    chosen = [m for m in chosen if m not in stale]
    if args.list:
        for area, path, original, replacement, regex in chosen:
            print("%-12s %-40s %r -> %r" % (area, path, original.strip()[:50], replacement.strip()[:50]))
        return 1 if stale else 0

    if not build(build_dir):
        sys.exit("the build fails before any change: fix it first")

    backups = {}
    current = {"path": None}
    keep = tempfile.mkdtemp(prefix="mutants-")

    def restore():
        path = current["path"]
        if path is not None:
            shutil.copyfile(backups[path], path)  # a new time: the build takes the original again
            os.remove(backups[path])
            current["path"] = None

    def interrupted(signum, _frame):
        restore()
        sys.exit("interrupted: the original restored; rebuild with cmake --build %s" % build_dir)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

    results = []  # (area, path, original, replacement, verdict, seconds)
    started = time.monotonic()
    try:
        for number, (area, path, original, replacement, regex) in enumerate(chosen, 1):
            full = os.path.join(ROOT, path)
            backup = os.path.join(keep, "%d-%s" % (number, os.path.basename(full)))
            shutil.copy2(full, backup)
            backups[full] = backup
            current["path"] = full
            began = time.monotonic()
            try:
                with open(full, encoding="latin-1") as file:
                    text = file.read()
                with open(full, "w", encoding="latin-1") as file:
                    file.write(text.replace(original, replacement, 1))
                if not build(build_dir):
                    verdict = "caught (build)"
                else:
                    tests = run(["ctest", "-R", regex, "--timeout", "300"], build_dir)
                    if "No tests were found" in tests.stdout:
                        sys.exit("no case matches %r" % regex)
                    verdict = "caught" if tests.returncode != 0 else "missed"
            finally:
                restore()
            seconds = time.monotonic() - began
            results.append((area, path, original, replacement, verdict, seconds))
            print("[%d/%d] %-8s %-14s %s: %r (%.0f s)" % (number, len(chosen), area, verdict, path,
                                                          original.strip()[:60], seconds), flush=True)
    finally:
        restore()
        os.rmdir(keep)
        build(build_dir)  # the tree as it is, for whoever runs the suite next

    areas = []
    for area, *_ in results:
        if area not in areas:
            areas.append(area)
    print("\n| Area | Caught | Total | Caught % |\n|---|---:|---:|---:|")
    worst = 100.0
    for area in areas:
        mine = [r for r in results if r[0] == area]
        caught = sum(r[4].startswith("caught") for r in mine)
        share = 100.0 * caught / len(mine)
        worst = min(worst, share)
        print("| %s | %d | %d | %.0f %% |" % (area, caught, len(mine), share))
    missed = [r for r in results if r[4] == "missed"]
    print("\nMissed:" if missed else "\nMissed: none")
    for area, path, original, replacement, _, _ in missed:
        print("- %s: `%s`: `%s` -> `%s`" % (area, path, original.strip().replace("\n", " "),
                                            replacement.strip().replace("\n", " ")))
    print("\n%d mutants in %.0f s" % (len(results), time.monotonic() - started))
    if stale:
        print("\nStale (their text is gone from the code; the run fails until they are brought up to date):")
        for area, path, original, *_ in stale:
            print("- %s: `%s`: `%s`" % (area, path, original.strip().replace("\n", " ")))
    return 0 if worst >= 90.0 and not stale else 1


if __name__ == "__main__":
    sys.exit(main())
