// One line per message on stderr, with the journal's priority prefix under systemd.
#include "journal.hpp"

#include <cstdio>
#include <cstdlib>

namespace Wsr37100::service {

void say(Level level, const std::string& text) {
    std::string line;
    if (const char* journal = std::getenv("JOURNAL_STREAM"); journal != nullptr && *journal != '\0') {
        line = "<" + std::to_string(static_cast<int>(level)) + ">";
    }
    line += "wsr37100 serve: ";
    for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace Wsr37100::service
