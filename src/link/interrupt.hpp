// A signal that ends a serial wait early: raised by one thread, seen by the one that waits.
#pragma once

#include <memory>

namespace Wsr37100 {

// Once raised it stays raised. Thread safe.
class Interrupt {
public:
    Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;
    ~Interrupt();

    void raise();
    bool raised() const;

    // What a wait adds to its set: a descriptor that polls readable (POSIX),
    // an event that becomes signalled (Windows).
    struct Native;
    const Native& native() const { return *native_; }

private:
    std::unique_ptr<Native> native_;
};

}  // namespace Wsr37100
