// One line per message on stderr, with the journal's priority prefix under systemd; events to the event log.
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

void Journal::say(Level level, const std::string& text) const {
    if (level == Level::error || level == Level::warning) {
        say(Event::problem, level, text);
    } else {
        service::say(level, text);
    }
}

void Journal::say(Event event, Level level, const std::string& text) const {
    service::say(level, text);
    if (log_ != nullptr) log_->report(event, level, text);
}

}  // namespace Wsr37100::service
