// The daily log on POSIX: the file's mode under the umask, the thread's own separator.
#include <gtest/gtest.h>

#include <locale.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

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
