// A point in monotonic time and what is left until it.
#pragma once

#include <chrono>

namespace Wsr37100 {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    explicit Deadline(std::chrono::milliseconds within) : end_(Clock::now() + within) {}

    // What is left, rounded up to whole milliseconds; zero once passed.
    std::chrono::milliseconds remaining() const {
        const auto left = end_ - Clock::now();
        if (left <= Clock::duration::zero()) return std::chrono::milliseconds(0);
        return std::chrono::ceil<std::chrono::milliseconds>(left);
    }
    bool expired() const { return remaining().count() == 0; }

private:
    Clock::time_point end_;
};

}  // namespace Wsr37100
