// Exit statuses of the wsr37100 tool, its commands and `serve` alike.
#pragma once

namespace Wsr37100::common {

inline constexpr int kExitWeight = 0;
inline constexpr int kExitStatus = 2;
inline constexpr int kExitNoReading = 3;
inline constexpr int kExitFailure = 4;
inline constexpr int kExitUsage = 64;         // sysexits' EX_USAGE
inline constexpr int kExitCannotCreate = 73;  // sysexits' EX_CANTCREAT
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports Ctrl-C

}  // namespace Wsr37100::common
