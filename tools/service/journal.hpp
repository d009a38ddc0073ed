// The service's own messages: one line each on stderr, fit for the system journal, and under the Windows
// service control manager also in the Windows Event Log.
#pragma once

#include <string>

namespace Wsr37100::service {

enum class Level { error = 3, warning = 4, notice = 5, info = 6 };

// Writes "wsr37100 serve: TEXT" as one line (line breaks in TEXT become
// spaces) with one write, so lines from several threads never mix. Under
// systemd (JOURNAL_STREAM set) the line starts with its syslog priority,
// "<4>", which the journal takes as the message's level. Thread safe.
void say(Level level, const std::string& text);

// The events a log beside stderr is told of; their numbers are the Windows
// Event Log's event ids (docs/windows.md, "The Event Log").
enum class Event : unsigned {
    started = 1,  // serving: the address and the scales
    stopped = 2,  // stopped when asked to
    failed = 3,   // could not start (configuration, address, scale), or ended on a failure
    problem = 4,  // a warning or an error while serving
};

// Where the events go besides stderr: the Windows Event Log under the service
// control manager. Called from any of the service's threads.
class EventLog {
public:
    // TEXT in UTF-8; level: its type (error, warning, or information for notice and info).
    virtual void report(Event event, Level level, const std::string& text) = 0;

protected:
    ~EventLog() = default;
};

// The service's messages: each line to stderr (say), and to the event log, if
// any, as the event given or, for a warning or an error, as Event::problem.
class Journal {
public:
    Journal() = default;
    explicit Journal(EventLog& log) : log_(&log) {}

    void say(Level level, const std::string& text) const;
    void say(Event event, Level level, const std::string& text) const;

private:
    EventLog* log_ = nullptr;
};

}  // namespace Wsr37100::service
