// The daily log on Windows: a writer that died holding the append lock stalls no one for long.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>

#include "wsr37100_falha.hpp"
#include "log/daily_log.hpp"
#include "support/temp_folder.hpp"

namespace Wsr37100 {
namespace {

using namespace std::chrono_literals;

TEST(DailyLogWin32, AStuckAppendLockCostsOneSecondNotOnePerLine) {
    testing::TempFolder folder;
    const DailyLog log = DailyLog::in_folder(folder.str());
    log.GravaLog("first");
    // Another "terminal" holds the writers' lock and never lets go.
    HANDLE other = ::CreateFileA(log.current_file().c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED region{};
    region.Offset = MAXDWORD;
    region.OffsetHigh = MAXLONG;
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region));

    const auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < 5; ++i) {
        try {
            log.GravaLog("line");
        } catch (const Falha&) {
            ++failed;  // a clear failure, never a line written past the writers' turn
        }
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(failed, 5);
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 2500ms);
    EXPECT_EQ(testing::log_messages(log.current_file()).size(), 1u);

    ::UnlockFileEx(other, 0, 1, 0, &region);
    EXPECT_NO_THROW(log.GravaLog("again"));
    ::CloseHandle(other);
}

}  // namespace
}  // namespace Wsr37100
