// Stable weight and the monitor, against an emulated scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <filesystem>
#include <mutex>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "scale_emulator.hpp"
#include "tcp_scale.hpp"
#include "log/regional.hpp"
#include "monitor/monitor.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100.h"
#include "wsr37100.hpp"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ScaleReply fixed(double kilograms) { return ScaleReply::bytes(fixed_frame_for(kilograms)); }
ScaleReply letters(const char* five) { return ScaleReply::bytes(fixed_frame(five)); }

WsrOpcoes options(uint32_t stable_ms, uint32_t equal = 0) {
    WsrOpcoes opcoes{};
    opcoes.tamanho = sizeof opcoes;
    opcoes.log = WSR_LOG_NENHUM;
    opcoes.quadro = WSR_QUADRO_7;
    opcoes.espera_estavel_ms = stable_ms;
    opcoes.leituras_iguais = equal;
    return opcoes;
}

// "1,234" with the regional decimal separator.
std::string regional(std::string text) {
    std::replace(text.begin(), text.end(), ',', decimal_separator());
    return text;
}

TEST(StableWeight, WaitsForTheScaleToSettle) {
    struct Case {
        const char* name;
        std::vector<ScaleReply> script;
        bool repeat;
        WsrOpcoes opcoes;
        int32_t tipo;
        double peso;
        int32_t estavel;
        int polls;
        std::vector<std::string> changes;  // the log's lines between the wait's start and end
        const char* end;                   // how the log says it ended; null: no wait, the single reading's lines
    };
    WsrOpcoes old_size = options(5000);
    old_size.tamanho = offsetof(WsrOpcoes, espera_estavel_ms);
    const std::string unstable = "status = -1,000 (I)";
    const Case cases[] = {
        {"unstable, then a weight", {letters("IIIII"), letters("IIIII"), fixed(1.234)}, false, options(2000), WSR_PESO, 1.234, 1, 3,
         {unstable, "peso = 1,234"}, "est\xE1vel"},
        {"never settles: the last answer stands", {letters("IIIII")}, true, options(300), WSR_STATUS, -1, 0, -1,
         {unstable}, "tempo esgotado"},
        {"equal weights wanted", {fixed(1.2), fixed(1.234), fixed(1.234)}, false, options(2000, 2), WSR_PESO, 1.234, 1, 3,
         {"peso = 1,200", "peso = 1,234"}, "est\xE1vel"},
        {"unstable breaks a run of equals", {fixed(1.234), letters("IIIII"), fixed(1.234), fixed(1.234)}, false, options(2000, 2), WSR_PESO, 1.234, 1, 4,
         {"peso = 1,234", unstable, "peso = 1,234"}, "est\xE1vel"},
        {"a negative scale ends the wait", {letters("IIIII"), letters("NNNNN")}, false, options(2000), WSR_STATUS, -2, 1, 2,
         {unstable, "status = -2,000 (N)"}, "est\xE1vel"},
        {"an overloaded scale ends the wait", {letters("IIIII"), letters("SSSSS")}, false, options(2000), WSR_STATUS, -10, 1, 2,
         {unstable, "status = -10,000 (S)"}, "est\xE1vel"},
        {"silence ends the wait", {letters("IIIII"), ScaleReply::silence()}, false, options(5000), WSR_SEM_LEITURA, 0, 0, 2,
         {unstable, "sem leitura: sil\xEAncio"}, "sem resposta"},
        {"unreadable replies end the wait at once", std::vector<ScaleReply>(8, letters("ABCDE")), false, options(5000), WSR_STATUS, -1,
         0, 5, {"status = -1,000 (resposta ileg\xEDvel)"}, "respostas ileg\xEDveis"},
        {"an older options record reads once", {letters("IIIII"), fixed(1.234)}, false, old_size, WSR_STATUS, -1, 0, 1,
         {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScaleEmulator scale(c.script, c.repeat);
        testing::TempFolder folder;
        const std::string log_folder = folder.str();
        WsrOpcoes opcoes = c.opcoes;
        opcoes.log = WSR_LOG_PASTA;
        opcoes.pasta_log = log_folder.c_str();
        WsrLeitura leitura{};
        leitura.tamanho = sizeof leitura;
        const auto start = Clock::now();
        EXPECT_EQ(::BuscaPesoEx(scale.device_path().c_str(), "9600", &opcoes, &leitura), c.tipo);
        EXPECT_DOUBLE_EQ(leitura.peso, c.peso);
        EXPECT_EQ(leitura.estavel, c.estavel);
        if (c.polls > 0) {
            EXPECT_EQ(leitura.consultas, c.polls);
        }
        if (c.repeat) {  // ran out: the whole wait (a guard past it for a loaded machine), polling all along
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.opcoes.espera_estavel_ms));
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.opcoes.espera_estavel_ms) + 2000ms);
            EXPECT_GE(leitura.consultas, 3);
        }
        // A wait's log is its start, each change and its end, whatever the number of polls.
        const auto messages = testing::log_messages_in(folder.path());
        const std::string wait = "espera est\xE1vel: ";
        if (c.end == nullptr) {
            EXPECT_TRUE(std::none_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(wait); }));
            continue;
        }
        std::vector<std::string> expected{"porta configurada: " + scale.device_path(), "lendo a porta: " + scale.device_path() + ":",
                                          wait + "at\xE9 " + std::to_string(c.opcoes.espera_estavel_ms) + " ms" +
                                              (c.opcoes.leituras_iguais > 1 ? ", 2 leituras iguais" : "")};
        for (const auto& change : c.changes) expected.push_back(wait + regional(change));
        expected.push_back(wait + "fim: " + c.end + " ap\xF3s " + std::to_string(leitura.consultas) + " consultas");
        EXPECT_EQ(messages, expected);
    }
}

// What a host's callback saw, for the tests to wait on.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<WsrLeitura> readings;
    WsrMonitor* stop_from_callback = nullptr;
    std::shared_future<void> hold;  // when set, the first call waits for it

    static void WSR37100_CALL on_change(const WsrLeitura* leitura, void* context) {
        auto* seen = static_cast<Seen*>(context);
        if (seen->hold.valid() && seen->size() == 0) seen->hold.wait();
        // All under the lock: once a waiter has it again, this call touches nothing of seen.
        std::lock_guard guard(seen->lock);
        if (seen->stop_from_callback != nullptr) WsrMonitorEncerra(seen->stop_from_callback);
        seen->readings.push_back(*leitura);
        seen->changed.notify_all();
    }
    bool wait_for(std::size_t count, std::chrono::milliseconds within = 3000ms) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, within, [&] { return readings.size() >= count; });
    }
    std::size_t size() {
        std::lock_guard guard(lock);
        return readings.size();
    }
};

// A monitor held by a test: stopped on every way out of it, an assertion's early return included,
// so that it never calls back into a test's state that is gone.
struct MonitorStop {
    void operator()(WsrMonitor* monitor) const { WsrMonitorEncerra(monitor); }
};
using Running = std::unique_ptr<WsrMonitor, MonitorStop>;

Running start_monitor(const std::string& port, const WsrOpcoes& opcoes, Seen& seen, const char* rate = "9600") {
    return Running(WsrMonitorInicia(port.c_str(), rate, &opcoes, &Seen::on_change, &seen));
}

WsrOpcoes monitor_options() {
    WsrOpcoes opcoes = options(0);
    opcoes.intervalo_ms = 20;
    return opcoes;
}

TEST(Monitor, ReportsEachChangeOnceAndTheLatestOnRequest) {
    // First the tail of a reply to an earlier poll, then this poll's own: the
    // shifted read is dropped, not reported as an unreadable status.
    // No reading, then no reading for another reason, is a change too.
    const ScaleReply partial = ScaleReply::bytes("12");
    ScaleEmulator scale({ScaleReply::bytes("34\x03" + fixed_frame_for(9.0)), fixed(1.0), fixed(1.0), fixed(1.0),
                         letters("IIIII"), letters("ABCDE"), fixed(2.5), fixed(2.5), ScaleReply::silence(), partial,
                         partial, partial, partial, partial});
    Seen seen;
    Running monitor = start_monitor(scale.device_path(), monitor_options(), seen);
    ASSERT_NE(monitor, nullptr);
    // 1.0, unstable, unreadable (the same -1, another change), 2.5, silence, partial replies, then silence after the script
    ASSERT_TRUE(seen.wait_for(7, 5000ms));
    WsrLeitura latest{};
    latest.tamanho = sizeof latest;
    EXPECT_EQ(WsrMonitorUltima(monitor.get(), &latest), 7);
    EXPECT_EQ(latest.numero, 7);
    monitor.reset();
    ASSERT_EQ(seen.readings.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(seen.readings[i].numero, i + 1);
    EXPECT_EQ(seen.readings[0].peso, 1.0);
    EXPECT_EQ(seen.readings[1].tipo, WSR_STATUS);
    EXPECT_EQ(seen.readings[2].tipo, WSR_STATUS);
    EXPECT_EQ(seen.readings[3].peso, 2.5);
    EXPECT_EQ(seen.readings[4].motivo, WSR_MOTIVO_SILENCIO);
    EXPECT_EQ(seen.readings[5].motivo, WSR_MOTIVO_RESPOSTAS_PARCIAIS);
    EXPECT_EQ(seen.readings[6].motivo, WSR_MOTIVO_SILENCIO);
    EXPECT_EQ(latest.motivo, WSR_MOTIVO_SILENCIO);
    EXPECT_GE(scale.polls(), 8);
}

// A stop takes 50 ms at most; the guard leaves room for a machine loaded several
// times over and still fails a stop that waits out the 500 ms pause between
// reopens, a silent read's second or a slow reply.
constexpr auto kStopGuard = 400ms;

TEST(Monitor, StopsAtOnceFromAnyMomentAndFromItsCallback) {
    std::mt19937 random(7);
    for (int i = 0; i < 20; ++i) {
        ScaleEmulator scale({fixed(1.0), ScaleReply::silence()}, true);
        Seen seen;
        const WsrOpcoes opcoes = monitor_options();
        WsrMonitor* monitor = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes, &Seen::on_change, &seen);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        const auto start = Clock::now();
        WsrMonitorEncerra(monitor);
        EXPECT_LT(Clock::now() - start, kStopGuard);
        const std::size_t after_stop = seen.size();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(seen.size(), after_stop);
    }
    // A reading under way when the stop comes is never told: a till does not flash "no reading" at every close.
    for (int i = 0; i < 10; ++i) {
        ScaleEmulator scale({ScaleReply::after(40ms, fixed_frame_for(1.0))}, true);
        Seen seen;
        Running monitor = start_monitor(scale.device_path(), monitor_options(), seen);
        ASSERT_TRUE(seen.wait_for(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        monitor.reset();
        for (const auto& reading : seen.readings) EXPECT_EQ(reading.tipo, WSR_PESO) << "stop " << i;
    }
    // A stop in each state the worker waits in, after the event that shows it is there.
    testing::TempFolder missing;
    const std::string gone = (missing.path() / "ttyGone").string();
    ScaleEmulator slow({ScaleReply::after(900ms, fixed_frame_for(1.0))}, true);
    struct State { const char* name; std::string port; std::function<bool(const Seen&)> there; };
    const State states[] = {
        {"resting before it reopens a missing port", gone, [](const Seen& seen) { return !seen.readings.empty(); }},
        {"reading a slow reply", slow.device_path(), [&slow](const Seen&) { return slow.polls() >= 1; }},
    };
    for (const auto& state : states) {
        SCOPED_TRACE(state.name);
        Seen seen;
        const WsrOpcoes opcoes = monitor_options();
        WsrMonitor* monitor = WsrMonitorInicia(state.port.c_str(), "9600", &opcoes, &Seen::on_change, &seen);
        ASSERT_NE(monitor, nullptr);
        for (const auto until = Clock::now() + 3s; Clock::now() < until;) {
            std::unique_lock guard(seen.lock);
            if (state.there(seen)) break;
            seen.changed.wait_for(guard, 5ms);
        }
        const auto start = Clock::now();
        WsrMonitorEncerra(monitor);
        EXPECT_LT(Clock::now() - start, kStopGuard);
    }

    ScaleEmulator scale({fixed(1.0), fixed(2.0)}, true);
    Seen seen;
    const WsrOpcoes opcoes = monitor_options();
    seen.stop_from_callback = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes, &Seen::on_change, &seen);
    ASSERT_TRUE(seen.wait_for(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen.size(), 1u);

    // With no contexto of its own, the callback is given the monitor, even before the start returned.
    static std::atomic<int> calls{0};
    WsrMonitor* self_stopping = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes,
                                                 [](const WsrLeitura*, void* monitor) {
                                                     ++calls;
                                                     WsrMonitorEncerra(static_cast<WsrMonitor*>(monitor));
                                                 },
                                                 nullptr);
    ASSERT_NE(self_stopping, nullptr);
    for (const auto until = Clock::now() + 3s; calls == 0 && Clock::now() < until;) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), 1);
}

TEST(Monitor, ReportsAScaleThatGoesAwayAndComesBack) {
    testing::TempFolder folder;
    const fs::path link = folder.path() / "scale";
    auto first = std::make_unique<ScaleEmulator>(std::vector<ScaleReply>{fixed(1.0)}, false);  // then silence
    fs::create_symlink(first->device_path(), link);
    Seen seen;
    Running monitor = start_monitor(link.string(), monitor_options(), seen);
    ASSERT_TRUE(seen.wait_for(2));
    // The cable is pulled: the poll fails, then reopening finds no port. The link goes
    // first, so that a pseudo-terminal another test gets next is never reached by it.
    fs::remove(link);
    first->vanish();
    ASSERT_TRUE(seen.wait_for(3));
    ScaleEmulator second({fixed(3.0)}, true);
    // A reply to an earlier poll waits on the new port: the reopen clears it, so it is never the first weight.
    second.say(fixed_frame_for(9.0));
    fs::create_symlink(second.device_path(), link);
    ASSERT_TRUE(seen.wait_for(4));
    monitor.reset();
    std::lock_guard guard(seen.lock);
    const auto& r = seen.readings;
    ASSERT_EQ(r.size(), 4u);  // the weight, its silence, once while it was away, the new weight
    EXPECT_EQ(r[0].peso, 1.0);
    EXPECT_EQ(r[1].motivo, WSR_MOTIVO_SILENCIO);  // no reading, then no reading for another reason: a change
    EXPECT_EQ(r[2].tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(r[2].causa, WSR_CAUSA_PORTA_INEXISTENTE);
    EXPECT_EQ(r[3].peso, 3.0);

    // A device server that drops the connection and takes the next at once: the reopen
    // succeeds, yet the dropped poll is told, and the same weight after it is a change.
    TcpScale dropping({fixed(2.0), ScaleReply::hangup(), fixed(2.0)}, false);
    Seen again;
    Running following = start_monitor(dropping.address(), monitor_options(), again);
    ASSERT_TRUE(again.wait_for(3));
    following.reset();
    std::lock_guard told(again.lock);
    const auto& d = again.readings;
    EXPECT_EQ(d[0].peso, 2.0);
    EXPECT_EQ(d[1].tipo, WSR_SEM_LEITURA);
    EXPECT_EQ(d[1].motivo, WSR_MOTIVO_CONSULTA_FALHOU);
    EXPECT_EQ(d[2].peso, 2.0);
}

// A device server that kept a reply from an earlier client sends it the moment the monitor connects:
// the open clears it, so the first weight told is the scale's answer to the monitor's own poll.
TEST(Monitor, BytesWaitingAtAnOpenAreNeverItsFirstWeight) {
    TcpScale server({ScaleReply::after(100ms, fixed_frame_for(1.0))}, true, TcpScale::Face::Answer,
                    ScaleReply::bytes(fixed_frame_for(9.0)));
    Seen seen;
    Running monitor = start_monitor(server.address(), monitor_options(), seen);
    ASSERT_TRUE(seen.wait_for(1));
    monitor.reset();
    EXPECT_EQ(seen.readings[0].peso, 1.0);

    // A serial line still carrying frames for another program's polls when the monitor opens it: what
    // was there is flushed, and what goes on arriving is dropped until the line falls quiet (three
    // characters' time: 100 ms at 300 baud, far above the 10 ms between the frames here).
    // The scale answers the monitor's own ENQ after 100 ms: a frame that arrived first would be read first.
    ScaleEmulator scale({ScaleReply::after(100ms, fixed_frame_for(1.0))}, true);
    std::promise<void> streaming;
    std::future<void> started = streaming.get_future();
    std::jthread other_program([&scale, &streaming](std::stop_token stop) {
        for (int frame = 0; frame < 30 && !stop.stop_requested(); ++frame) {
            scale.say(fixed_frame_for(9.0));
            if (frame == 0) streaming.set_value();
            std::this_thread::sleep_for(10ms);  // the other program's pace, not a wait for the test
        }
    });
    started.wait();
    Seen on_serial;
    Running serial = start_monitor(scale.device_path(), monitor_options(), on_serial, "300");
    ASSERT_TRUE(on_serial.wait_for(1));
    serial.reset();
    EXPECT_EQ(on_serial.readings[0].tipo, WSR_PESO);
    EXPECT_EQ(on_serial.readings[0].peso, 1.0);
}

// A monitor whose step does not end (here a callback that blocks, as a driver's
// read that never returns would) is told as stalled, never as the weight from
// before; once the step ends, the reading is told again, unchanged as it is.
TEST(Monitor, AStallIsToldAndEndsByItself) {
    ScaleEmulator scale({fixed(1.0)}, true);
    Seen seen;
    std::promise<void> release;
    seen.hold = release.get_future().share();
    // Released on every way out, before the monitor is stopped: a held callback would hold the stop up.
    struct Release {
        std::promise<void>& promise;
        ~Release() { promise.set_value(); }
    };
    Running monitor = start_monitor(scale.device_path(), monitor_options(), seen);
    std::optional<Release> release_on_exit;
    release_on_exit.emplace(release);
    WsrLeitura latest{};
    latest.tamanho = sizeof latest;
    auto latest_is = [&](int32_t tipo) {
        for (const auto give_up = Clock::now() + 15s; Clock::now() < give_up; std::this_thread::sleep_for(20ms)) {
            if (WsrMonitorUltima(monitor.get(), &latest) > 0 && latest.tipo == tipo) return true;
        }
        return false;
    };
    ASSERT_TRUE(latest_is(WSR_FALHA));
    // The held callback's reading was number 1; the stall, pulled while it is held, is number 2 in
    // the record too, so a host that hears of changes both ways takes each once.
    EXPECT_EQ(WsrMonitorUltima(monitor.get(), &latest), 2);
    EXPECT_EQ(latest.numero, 2);
    EXPECT_EQ(std::string(latest.mensagem).rfind("monitor parado h\xE1 ", 0), 0u) << latest.mensagem;
    release_on_exit.reset();
    ASSERT_TRUE(latest_is(WSR_PESO));
    EXPECT_EQ(WsrMonitorUltima(monitor.get(), &latest), 3);
    ASSERT_TRUE(seen.wait_for(2));
    monitor.reset();
    EXPECT_EQ(seen.readings[0].numero, 1);
    EXPECT_EQ(seen.readings[1].peso, 1.0);
    EXPECT_EQ(seen.readings[1].numero, 3);
}

// A step is a stall only when a look finds the same step still overdue a moment after it first saw it
// so: after the whole process was suspended (the clock jumps forward here), every step is overdue at
// once, and a look that sees it once must not tell the till "monitor parado".
TEST(Monitor, AStepOverdueOnlyOnceIsNoStall) {
    ScaleEmulator scale({fixed(1.0)}, true);
    std::atomic<Clock::rep> jumped{0};
    std::mutex lock;
    std::condition_variable changed;
    int entered = 0, released = 0;
    testing::TempFolder locks;
    MonitorSettings settings;
    settings.port = scale.device_path();
    settings.baud = "9600";
    settings.link.gap = 20ms;  // a reply ends 20 ms after its last byte, not at the read's time-out
    settings.link.lock_folder = locks.str();
    settings.clock = [&jumped] { return Clock::now() + Clock::duration(jumped.load()); };
    const auto release_all = [&] {
        std::lock_guard guard(lock);
        released = 1000;
        changed.notify_all();
    };
    struct Releaser {
        std::function<void()> release;
        ~Releaser() { release(); }
    };
    // Each change's callback is held until the test lets it go: the worker stays in that step.
    std::optional<ScaleMonitor> monitor;
    const Releaser on_exit{release_all};  // declared after the monitor: lets its callbacks go before it stops
    monitor.emplace(settings, [&](const MonitorReading&) {
        std::unique_lock guard(lock);
        const int mine = ++entered;
        changed.notify_all();
        changed.wait(guard, [&] { return released >= mine; });
    });
    const auto wait_entered = [&](int count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 10s, [&] { return entered >= count; });
    };
    const auto release = [&](int count) {
        std::lock_guard guard(lock);
        released = count;
        changed.notify_all();
    };
    const auto stalled = [&] {
        MonitorReading reading;
        monitor->latest(reading);
        return reading.report.outcome == Outcome::Failure && reading.failure.rfind("monitor parado", 0) == 0;
    };
    ASSERT_TRUE(wait_entered(1));
    struct Look {
        const char* what;
        std::chrono::milliseconds jump;
        bool stalled;
    };
    const Look suspended[] = {
        {"the first step seen overdue once", 10s, false},
    };
    for (const auto& look : suspended) {
        jumped += Clock::duration(look.jump).count();
        EXPECT_EQ(stalled(), look.stalled) << look.what;
    }
    // The step ends, the scale changes: a new step, held in its callback, seen overdue after a second suspension.
    release(1);
    scale.replace_script({fixed(2.0)});
    ASSERT_TRUE(wait_entered(2));
    const Look again[] = {
        {"a new step seen overdue once, after the last one was", 10s, false},
        {"the same step, still overdue past the confirmation", kStallConfirmation + 100ms, true},
    };
    for (const auto& look : again) {
        jumped += Clock::duration(look.jump).count();
        EXPECT_EQ(stalled(), look.stalled) << look.what;
    }
}

// A scale that answers at once is polled at the monitor's pace (a poll every 50 ms at most), not
// back to back: an idle shop computer stays idle. Ten polls take half a second (without the pace, a
// few milliseconds).
TEST(Monitor, PollsAScaleThatAnswersAtOnceAtItsPace) {
    ScaleEmulator scale({fixed(1.0)}, true);
    Seen seen;
    Running monitor = start_monitor(scale.device_path(), monitor_options(), seen);
    ASSERT_TRUE(seen.wait_for(1));
    const int first = scale.polls();
    const auto start = Clock::now();
    for (const auto give_up = start + 20s; scale.polls() < first + 10 && Clock::now() < give_up;) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(scale.polls(), first + 10);
    EXPECT_GE(Clock::now() - start, 400ms);
}

// A reading that changes at every poll writes a line a second, with the count of the rest.
TEST(Monitor, AFlickeringReadingLogsALineASecond) {
    ScaleEmulator scale({fixed(1.0), fixed(2.0)}, true);
    testing::TempFolder folder;
    const std::string log_folder = folder.str();
    WsrOpcoes opcoes = monitor_options();
    opcoes.log = WSR_LOG_PASTA;
    opcoes.pasta_log = log_folder.c_str();
    std::atomic<int> changes{0};
    const auto start = Clock::now();
    WsrMonitor* monitor = WsrMonitorInicia(scale.device_path().c_str(), "9600", &opcoes,
                                           [](const WsrLeitura*, void* count) { ++*static_cast<std::atomic<int>*>(count); },
                                           &changes);
    while (scale.polls() < 40 || Clock::now() - start < 1200ms) std::this_thread::sleep_for(5ms);  // past one second
    // The flicker ends: the log's last line tells the weight the scale settled on.
    scale.replace_script({fixed(3.0)});
    const auto change_lines_in_log = [&] {
        std::vector<std::string> lines;
        for (const auto& line : testing::log_messages_in(folder.path())) {
            if (line.rfind("monitor: peso", 0) == 0) lines.push_back(line);
        }
        return lines;
    };
    for (const auto give_up = Clock::now() + 10s; Clock::now() < give_up; std::this_thread::sleep_for(20ms)) {
        const auto lines = change_lines_in_log();
        if (!lines.empty() && lines.back().rfind("monitor: peso = 3", 0) == 0) break;
    }
    WsrMonitorEncerra(monitor);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    const auto lines = change_lines_in_log();
    std::size_t told = 0;  // each change is a line of its own or counted on one, once
    bool counted = false;
    for (const auto& line : lines) {
        ++told;
        const auto more = line.find("(mais ");
        if (more == std::string::npos) continue;
        counted = counted || line.find(" mudan\xE7" "as n\xE3o registradas)") != std::string::npos;
        told += std::stoul(line.substr(more + 6));
    }
    EXPECT_GE(changes.load(), 30);  // every change still reaches the host
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("monitor: peso = 3", 0), 0u) << lines.back();
    EXPECT_EQ(told, static_cast<std::size_t>(changes.load()));
    EXPECT_LE(lines.size(), static_cast<std::size_t>(seconds) + 2);
    EXPECT_TRUE(counted);
}

TEST(Monitor, LogsChangesNotPolls) {
    ScaleEmulator scale({fixed(1.0)}, true);
    testing::TempFolder folder;
    const std::string log_folder = folder.str();
    {
        Wsr37100::Opcoes cpp;
        cpp.pasta_log = log_folder;
        cpp.intervalo = 20ms;
        cpp.quadro = 7;
        std::atomic<int> changes{0};
        Wsr37100::Monitor monitor(scale.device_path(), "9600", cpp, [&](const Leitura& l) { changes += l.peso == 1.0; });
        while (scale.polls() < 10) std::this_thread::sleep_for(5ms);
        EXPECT_EQ(changes.load(), 1);
        EXPECT_EQ(monitor.Ultima()->peso, 1.0);
        // A change within the second of the last line is folded, then written once the second is over:
        // that line tells it, so it counts no change besides itself.
        scale.replace_script({fixed(2.0)});
        const auto has_line_for_2 = [&] {
            const auto lines = testing::log_messages_in(folder.path());
            return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("monitor: peso = 2", 0) == 0; });
        };
        for (const auto give_up = Clock::now() + 5s; !has_line_for_2() && Clock::now() < give_up;) std::this_thread::sleep_for(10ms);
    }
    const std::string port = scale.device_path() + ":";
    EXPECT_EQ(testing::log_messages_in(folder.path()),
              (std::vector<std::string>{"monitor: porta aberta: " + port, "monitor: peso = 1.000", "monitor: peso = 2.000",
                                        "monitor: porta fechada: " + port}));
}

// A log that can no longer be written (its folder removed once the port is open)
// never hides the weight: the weight is told, and the log's failure apart from it.
TEST(Monitor, ALogThatFailsNeverHidesTheWeight) {
    ScaleEmulator scale({fixed(1.0)}, true);
    testing::TempFolder folder;
    const fs::path doomed = folder.path() / "dados";
    fs::create_directory(doomed);
    scale.on_poll([doomed](int poll, const ScaleReply&) {
        if (poll == 1) fs::remove_all(doomed);
    });
    const std::string log_folder = doomed.string();
    Wsr37100::Opcoes cpp;
    cpp.pasta_log = log_folder;
    cpp.quadro = 7;
    std::mutex seen;
    std::vector<std::string> failures;
    int calls = 0;
    Wsr37100::Monitor monitor(scale.device_path(), "9600", cpp, [&](const Leitura& l) {
        const std::lock_guard lock(seen);
        ++calls;
        if (l.tipo == Tipo::Falha) failures.push_back(l.mensagem);
    });
    while (scale.polls() < 20) std::this_thread::sleep_for(5ms);
    // Tried again once a second, it still fails: no change to tell.
    for (const auto give_up = Clock::now() + 5s; Clock::now() < give_up && scale.polls() < 45;) std::this_thread::sleep_for(5ms);
    const auto failure = monitor.FalhaLog();
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->empty());
    EXPECT_EQ(monitor.Ultima()->peso, 1.0);
    // The folder back: the next try writes the line, and the condition ends.
    fs::create_directory(doomed);
    for (const auto give_up = Clock::now() + 5s; Clock::now() < give_up && monitor.FalhaLog();) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(monitor.FalhaLog().has_value());
    // The change whose line could not be written is the line written then.
    const auto lines = testing::log_messages_in(doomed);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "monitor: peso = 1.000");
    const std::lock_guard lock(seen);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace Wsr37100
