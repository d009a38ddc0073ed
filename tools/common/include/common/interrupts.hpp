// Ctrl-C and SIGTERM (on Windows Ctrl-C, Ctrl-Break and closing the console) as a request to stop.
#pragma once

#include <chrono>
#include <memory>

namespace Wsr37100::common {

// While it lives, the first interrupt is only noted, so that the tool's loops
// end cleanly; a second one ends the process at once, as it would without
// this object. Make it before any other thread is started.
class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool requested() const;
    // Sleeps up to `duration`; false (at once) when an interrupt comes first.
    bool sleep_for(std::chrono::milliseconds duration) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Wsr37100::common
