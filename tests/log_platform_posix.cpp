// The daily log on POSIX: the file's mode under the umask, the thread's own separator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "wsr37100_falha.hpp"
#include "log/daily_log.hpp"
#include "log/regional.hpp"
#include "support/temp_folder.hpp"

namespace Wsr37100 {
namespace {

TEST(DailyLogPosix, NewFileIsForEveryoneTheUmaskAllows) {
    struct Case { mode_t umask; mode_t mode; };
    for (const Case c : {Case{0, 0666}, Case{022, 0644}, Case{002, 0664}}) {
        testing::TempFolder folder;
        const mode_t previous = ::umask(c.umask);
        const DailyLog log = DailyLog::in_folder(folder.str());
        log.GravaLog("x");
        ::umask(previous);
        struct stat info {};
        ASSERT_EQ(::stat(log.current_file().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.mode) << std::oct << c.umask;
    }
}

// Another user's program that locks what it reads holds up a line at most a
// second, and then the line is a failure, not a hang; a reader's flock (what
// log shippers take) holds up nothing.
TEST(DailyLogPosix, AReadersLockHoldsUpALineAtMostASecond) {
    struct Case { const char* what; std::function<void(int)> lock; bool written; };
    const Case cases[] = {
        {"flock", [](int fd) { ASSERT_EQ(::flock(fd, LOCK_EX), 0); }, true},
        {"a whole-file read lock", [](int fd) {
             struct flock whole {};
             whole.l_type = F_RDLCK;
             ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &whole), 0);
         }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempFolder folder;
        const DailyLog log = DailyLog::in_folder(folder.str());
        log.GravaLog("first");
        const int reader = ::open(log.current_file().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        c.lock(reader);
        const auto start = std::chrono::steady_clock::now();
        bool written = true;
        try {
            log.GravaLog("second");
        } catch (const Falha& failure) {
            written = false;
            EXPECT_NE(std::string(failure.what()).find("bloqueado"), std::string::npos) << failure.what();
        }
        EXPECT_EQ(written, c.written);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        ::close(reader);
        EXPECT_NO_THROW(log.GravaLog("third"));  // the lock gone, lines go on
    }
}

// Each thread sees its own locale's separator, however many threads ask at once.
TEST(DailyLogPosix, DecimalSeparatorIsTheCallingThreadsOwn) {
    const locale_t comma = ::newlocale(LC_NUMERIC_MASK, "pt_BR.ISO-8859-1", static_cast<locale_t>(0));
    if (comma == static_cast<locale_t>(0)) GTEST_SKIP() << "no pt_BR.ISO-8859-1 locale";
    const locale_t point = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::atomic<int> wrong{0};
    auto ask = [&wrong](locale_t locale, char expected) {
        ::uselocale(locale);
        for (int i = 0; i < 2000000; ++i) {
            if (decimal_separator() != expected) ++wrong;
        }
        ::uselocale(LC_GLOBAL_LOCALE);
    };
    std::thread a(ask, comma, ','), b(ask, point, '.'), c(ask, comma, ',');
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(wrong.load(), 0);
    ::freelocale(comma);
    ::freelocale(point);
}

}  // namespace
}  // namespace Wsr37100
