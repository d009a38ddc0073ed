// The service's own messages: one line each on stderr, fit for the system journal.
#pragma once

#include <string>

namespace Wsr37100::service {

enum class Level { error = 3, warning = 4, notice = 5, info = 6 };

// Writes "wsr37100 serve: TEXT" as one line (line breaks in TEXT become
// spaces) with one write, so lines from several threads never mix. Under
// systemd (JOURNAL_STREAM set) the line starts with its syslog priority,
// "<4>", which the journal takes as the message's level. Thread safe.
void say(Level level, const std::string& text);

}  // namespace Wsr37100::service
