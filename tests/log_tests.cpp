// The daily log: file name, line form, raw bytes, failures and concurrent writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <thread>

#include "log/daily_log.hpp"
#include "log/regional.hpp"
#include "support/temp_folder.hpp"
#include "wsr37100_falha.hpp"

namespace Wsr37100 {
namespace {

namespace fs = std::filesystem;
using testing::log_messages;
using testing::log_messages_in;
using testing::read_file;
using testing::TempFolder;

TEST(LogFileName, DayAndMonthWithLeadingZeros) {
    struct Case { int day, month; const char* name; };
    const Case cases[] = {
        {6, 12, "logWSR37100_0612.txt"},
        {1, 1, "logWSR37100_0101.txt"},
        {31, 10, "logWSR37100_3110.txt"},
        {29, 2, "logWSR37100_2902.txt"},
    };
    for (const auto& c : cases) {
        std::tm local{};
        local.tm_mday = c.day;
        local.tm_mon = c.month - 1;
        local.tm_year = 99;
        EXPECT_EQ(log_file_name(local), c.name);
    }
}

TEST(DailyLog, FirstLineCreatesTheFileAndTheNextAppends) {
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    const fs::path file = log.current_file();
    EXPECT_FALSE(fs::exists(file));
    log.GravaLog("porta configurada: COM1");
    ASSERT_TRUE(fs::exists(file));
    log.GravaLog("lendo a porta: COM1:");
    EXPECT_EQ(log_messages(file), (std::vector<std::string>{"porta configurada: COM1", "lendo a porta: COM1:"}));
    EXPECT_EQ(file.parent_path(), folder.path());
}

TEST(DailyLog, LineIsDateTimeDashMessageCrLf) {
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    log.GravaLog("actRead = 7");
    const std::string content = read_file(log.current_file());
    const std::string expected_tail = " - actRead = 7\r\n";
    ASSERT_GT(content.size(), expected_tail.size());
    EXPECT_EQ(content.substr(content.size() - expected_tail.size()), expected_tail);
    // The date-time text is the regional one for this moment: same day, same format.
    const std::string prefix = content.substr(0, content.size() - expected_tail.size());
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(prefix.size(), date_time_text(local_time(now)).size());
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 1);
}

TEST(DailyLog, BytesAreWrittenAsTheyAre) {
    const std::string messages[] = {
        std::string("Valor de buffer = \x02 1.234\x03", 25),
        " except Op\xE7\xE3o else = -1",
        std::string("bytes altos \x80\xFF\x7F\x01", 16),
    };
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    for (const auto& message : messages) log.GravaLog(message);
    const auto written = log_messages(log.current_file());
    ASSERT_EQ(written.size(), std::size(messages));
    for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], messages[i]);
    // The accented line is Windows-1252: c-cedilla E7, a-tilde E3, no UTF-8.
    EXPECT_NE(written[1].find("\xE7\xE3"), std::string::npos);
    EXPECT_EQ(written[1].find("\xC3"), std::string::npos);
}

TEST(DailyLog, DisabledWritesNothingAndNeverFails) {
    const DailyLog log = DailyLog::disabled();
    EXPECT_NO_THROW(log.GravaLog("porta configurada: COM1"));
    EXPECT_EQ(log.current_file(), "");
    EXPECT_EQ(log.dropped_today(), 0u);
}

TEST(DailyLog, UnwritableDestinationsRaiseAndCreateNothing) {
    // A day's file that is not there has dropped nothing; one that is there and cannot be read says so.
    struct Case { const char* what; std::function<fs::path(const fs::path&)> prepare; bool read_fails; };
    const Case cases[] = {
        {"missing folder", [](const fs::path& base) { return base / "dados"; }, false},
        {"missing parent", [](const fs::path& base) { return base / "x" / "dados"; }, false},
        {"file is a directory",
         [](const fs::path& base) {
             const DailyLog probe = DailyLog::in_folder(base.string());
             fs::create_directory(probe.current_file());
             return base;
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder base;
        const fs::path folder = c.prepare(base.path());
        const auto before = std::distance(fs::recursive_directory_iterator(base.path()), {});
        const DailyLog log = DailyLog::in_folder(folder.string());
        try {
            log.GravaLog("porta configurada: COM1");
            ADD_FAILURE() << "no failure raised";
        } catch (const Falha& failure) {
            const std::string message = failure.what();
            EXPECT_NE(message.find(log.current_file()), std::string::npos) << message;
            EXPECT_NE(message.find("\": "), std::string::npos) << "no reason given: " << message;
        }
        if (c.read_fails) {
            EXPECT_THROW(log.dropped_today(), Falha);
        } else {
            EXPECT_EQ(log.dropped_today(), 0u);
        }
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(base.path()), {}), before);
    }
}

TEST(DailyLog, DefaultFolderIsDadosBesideTheHostExecutable) {
    const fs::path dados = fs::path(host_executable_folder()) / "dados";
    ASSERT_FALSE(fs::exists(dados)) << "leftover " << dados;
    const DailyLog log = DailyLog::beside_host();
    EXPECT_THROW(log.GravaLog("sem pasta"), Falha);
    EXPECT_FALSE(fs::exists(dados));

    fs::create_directory(dados);
    log.GravaLog("com pasta");
    EXPECT_EQ(fs::path(log.current_file()).parent_path(), dados);
    EXPECT_EQ(log_messages(log.current_file()), std::vector<std::string>{"com pasta"});
    fs::remove_all(dados);
}

std::chrono::system_clock::time_point local_moment(int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

// Worked out once: mktime may not run on several threads at once.
std::chrono::system_clock::time_point before_midnight() {
    static const auto moment = local_moment(6, 23, 59, 59);
    return moment;
}
std::chrono::system_clock::time_point after_midnight() {
    static const auto moment = local_moment(7, 0, 0, 0);
    return moment;
}

TEST(DailyLog, LinesOnEitherSideOfMidnightGoToTwoFiles) {
    TempFolder folder;
    const DailyLog base = DailyLog::in_folder(folder.str());
    base.with_clock(&before_midnight).GravaLog("antes");
    base.with_clock(&after_midnight).GravaLog("depois");
    EXPECT_EQ(log_messages(folder.path() / "logWSR37100_0612.txt"), std::vector<std::string>{"antes"});
    EXPECT_EQ(log_messages(folder.path() / "logWSR37100_0712.txt"), std::vector<std::string>{"depois"});
}

// A full day drops its further lines and counts them in one closing line, even
// with several writers dropping at once; the next day starts afresh.
TEST(DailyLog, AFullDayDropsAndCountsItsFurtherLines) {
    const std::string one_line = date_time_text(local_time(std::chrono::system_clock::to_time_t(before_midnight())));
    const std::uint64_t line = one_line.size() + std::string(" - linha 0\r\n").size();
    const auto closing = [](std::uint64_t limit, const char* count) {
        return "limite de " + std::to_string(limit) + " bytes do log do dia atingido: linhas n\xE3o registradas: " + count;
    };
    struct Case { std::uint64_t limit; int threads; int lines_each; int kept; const char* dropped; };
    const Case cases[] = {
        {0, 1, 5, 5, nullptr},                     // no bound
        {kDefaultDayLimit, 1, 5, 5, nullptr},      // the default is far away
        {3 * line, 1, 5, 3, "0000000002"},         // a line that just fits is kept
        {3 * line - 1, 1, 5, 2, "0000000003"},
        {line - 1, 1, 5, 0, "0000000005"},
        {2 * line, 4, 40, 2, "0000000158"},        // concurrent writers lose no count
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        TempFolder folder;
        const DailyLog log = DailyLog::in_folder(folder.str()).with_clock(&before_midnight).with_day_limit(c.limit);
        std::vector<std::thread> writers;
        for (int t = 0; t < c.threads; ++t) {
            writers.emplace_back([&log, &c] {
                for (int i = 0; i < c.lines_each; ++i) log.GravaLog("linha " + std::to_string(i % 10));
            });
        }
        for (auto& writer : writers) writer.join();
        auto messages = log_messages(folder.path() / "logWSR37100_0612.txt");
        if (c.dropped != nullptr) {
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ(messages.back(), closing(c.limit, c.dropped));
            messages.pop_back();
        }
        EXPECT_EQ(messages.size(), static_cast<std::size_t>(c.kept));
        EXPECT_EQ(log.dropped_today(), c.dropped != nullptr ? std::stoull(c.dropped) : 0u);
        EXPECT_EQ(log.with_clock(&after_midnight).dropped_today(), 0u);  // the new day has no file yet
        log.with_clock(&after_midnight).GravaLog("novo");
        EXPECT_EQ(log_messages(folder.path() / "logWSR37100_0712.txt"), std::vector<std::string>{"novo"});
    }
}

TEST(DailyLog, ConcurrentWritersLoseAndTearNoLine) {
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 200;
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                log.GravaLog("escritor " + std::to_string(t) + " linha " + std::to_string(i) +
                             std::string(static_cast<size_t>(40 + i % 50), 'x'));
            }
        });
    }
    for (auto& writer : writers) writer.join();
    const auto messages = log_messages_in(folder.path());
    ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::set<std::string> distinct(messages.begin(), messages.end());
    EXPECT_EQ(distinct.size(), messages.size());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLinesEach; i += 37) {
            const std::string expected = "escritor " + std::to_string(t) + " linha " + std::to_string(i) +
                                         std::string(static_cast<size_t>(40 + i % 50), 'x');
            EXPECT_TRUE(distinct.count(expected)) << expected;
        }
    }
}

// Another writer (another process, as far as the lines' turns go) that holds
// the writers' turn: the project's own turn, taken on the same file.
class TurnHolder {
public:
    explicit TurnHolder(const std::string& path) : file_(std::make_unique<AppendFile>(path)) {
        while (!file_->try_turn()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TurnHolder() {
        if (letting_go_.joinable()) letting_go_.join();
    }
    // A line of its own, written while it holds the turn.
    void write(const std::string& message) {
        file_->append(date_time_text(local_time(std::time(nullptr))) + " - " + message + "\r\n");
    }
    // Lets go at once, or after `after` from another thread.
    void let_go(std::chrono::milliseconds after = std::chrono::milliseconds(0)) {
        if (after.count() == 0) {
            file_->release_turn();
            return;
        }
        letting_go_ = std::thread([this, after] {
            std::this_thread::sleep_for(after);
            file_->release_turn();
        });
    }

private:
    std::unique_ptr<AppendFile> file_;
    std::thread letting_go_;
};

// A hold of the writers' turn costs one whole wait and then a short one for
// each further line while it lasts; once it is let go (a line goes through, or
// the hold is not seen for two seconds) a new short hold is waited out again.
TEST(DailyLog, AHeldTurnCostsOneWaitAndOnlyWhileItLasts) {
    using namespace std::chrono_literals;
    enum class Holder { Takes, Keeps, LetsGo, LetsGoAfter300ms, WritesThenLetsGoAfter300ms };
    struct Step { const char* what; std::chrono::milliseconds pause; Holder holder; bool written;
                  std::chrono::milliseconds at_least, at_most; };
    const Step steps[] = {
        {"a hold past the patience", 0ms, Holder::Takes, false, 900ms, 2500ms},
        {"the same hold: the short wait", 0ms, Holder::Keeps, false, 0ms, 500ms},
        {"still held half a second later: the short wait", 500ms, Holder::Keeps, false, 0ms, 500ms},
        {"let go: the line goes through", 0ms, Holder::LetsGo, true, 0ms, 500ms},
        {"a short hold after that line: waited out", 0ms, Holder::LetsGoAfter300ms, true, 250ms, 2500ms},
        {"a hold past the patience again", 0ms, Holder::Takes, false, 900ms, 2500ms},
        {"let go with no line since: the next short hold is waited out", 2100ms, Holder::LetsGoAfter300ms, true,
         250ms, 2500ms},
        {"a hold past the patience a third time", 0ms, Holder::Takes, false, 900ms, 2500ms},
        {"the holder writes a line and lets go 300 ms later: the file moved, so it is waited out", 0ms,
         Holder::WritesThenLetsGoAfter300ms, true, 250ms, 2500ms},
    };
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    log.GravaLog("first");
    std::optional<TurnHolder> holder;
    std::vector<std::string> expected{"first"};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.holder != Holder::Keeps) holder.reset();  // lets go (once its own letting go is over)
        std::this_thread::sleep_for(step.pause);
        if (step.holder == Holder::WritesThenLetsGoAfter300ms) {
            holder.emplace(log.current_file());
            holder->write("outro escritor");
            expected.push_back("outro escritor");
        }
        if (step.holder == Holder::Takes || step.holder == Holder::LetsGoAfter300ms) holder.emplace(log.current_file());
        if (step.holder == Holder::LetsGoAfter300ms || step.holder == Holder::WritesThenLetsGoAfter300ms) {
            holder->let_go(300ms);
        }
        const auto start = std::chrono::steady_clock::now();
        bool written = true;
        try {
            log.GravaLog(step.what);
        } catch (const Falha& failure) {
            written = false;
            EXPECT_NE(std::string(failure.what()).find("bloqueado por outro programa por mais de 1000 ms"),
                      std::string::npos) << failure.what();
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(written, step.written);
        EXPECT_GE(took, step.at_least);
        EXPECT_LE(took, step.at_most);
        if (written) expected.push_back(step.what);
    }
    holder.reset();
    EXPECT_EQ(log_messages(log.current_file()), expected);
}

// A writer stopped while in line behind this process's own writers leaves
// the line at once, and the writers after it still get their turns.
TEST(DailyLog, AWriterStoppedInLineLeavesIt) {
    using namespace std::chrono_literals;
    TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    log.GravaLog("first");
    std::optional<TurnHolder> holder(std::in_place, log.current_file());
    const auto failed_within = [](const DailyLog& writer, const char* message) {
        const auto start = std::chrono::steady_clock::now();
        try {
            writer.GravaLog(message);
        } catch (const Falha&) {
            return std::chrono::steady_clock::now() - start;
        }
        ADD_FAILURE() << message << " written past a held turn";
        return std::chrono::steady_clock::now() - start;
    };
    std::stop_source stop;
    std::chrono::steady_clock::duration head{}, stopped{}, after{};
    const auto until_in_line = [&log](int writers) {
        while (log.writers_in_line() < writers) std::this_thread::sleep_for(1ms);
    };
    std::thread first([&] { head = failed_within(log, "primeira na fila"); });
    until_in_line(1);  // the first is at the file, waiting out the hold
    std::thread second([&] { stopped = failed_within(log.stopped_by(stop.get_token()), "parada na fila"); });
    until_in_line(2);
    std::thread third([&] { after = failed_within(log, "depois da parada"); });
    until_in_line(3);
    stop.request_stop();
    second.join();
    first.join();
    third.join();
    EXPECT_LT(stopped, 500ms);
    EXPECT_GE(head, 900ms);
    EXPECT_LT(after, 2500ms);  // its turn came: the hold's short wait, not a wait for ever
    holder.reset();
    EXPECT_NO_THROW(log.GravaLog("livre"));
    EXPECT_EQ(log_messages(log.current_file()), (std::vector<std::string>{"first", "livre"}));
}

// Waiting behind writers that go on taking turns is no outside hold: the line
// waits for its turn, however long they take, and is never failed as
// "bloqueado por outro programa".
TEST(DailyLog, OtherWritersTakingTurnsAreNeverAHold) {
    using namespace std::chrono_literals;
    struct Case { const char* what; std::chrono::milliseconds each_turn; int turns; };
    const Case cases[] = {
        {"slow turns back to back for 1.5 s (a network share)", 100ms, 15},
        {"quick turns back to back", 2ms, 600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const DailyLog log = DailyLog::in_folder(folder.str());
        log.GravaLog("first");
        std::atomic<bool> started{false};
        std::thread other([&] {
            AppendFile file(log.current_file());
            for (int turn = 0; turn < c.turns; ++turn) {
                while (!file.try_turn()) std::this_thread::yield();
                started = true;
                file.append(date_time_text(local_time(std::time(nullptr))) + " - outro escritor\r\n");
                std::this_thread::sleep_for(c.each_turn);
                file.release_turn();  // and at once the next turn
            }
        });
        while (!started) std::this_thread::yield();
        EXPECT_NO_THROW(log.GravaLog("nossa linha"));
        other.join();
        const auto messages = log_messages(log.current_file());
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "nossa linha"), 1);
        EXPECT_EQ(messages.size(), static_cast<std::size_t>(c.turns + 2));
    }
}

}  // namespace
}  // namespace Wsr37100
