// A name look-up held to the link's time limit and to a monitor's stop.
//
// The system's resolver cannot be interrupted, so the look-up runs on a thread
// of its own while the caller waits in short slices, watching the deadline and
// the interrupt. A look-up that is not done in time is left to end alone: it
// owns everything it uses, and its answer is freed by whichever side is last.
// Each platform file bounds how long such a thread can live, so abandoned
// look-ups cannot pile up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "link/deadline.hpp"
#include "link/interrupt.hpp"

namespace Wsr37100 {

// Runs `work` and returns its result once it is done, or nullopt when the limit
// passed or the interrupt was raised first. `discard` frees a result nobody took.
template <class Result>
std::optional<Result> run_within(std::function<Result()> work, std::function<void(Result&)> discard,
                                 const Deadline& limit, const Interrupt* interrupt) {
    struct Shared {
        std::mutex lock;
        std::condition_variable done_signal;
        std::optional<Result> result;
        bool abandoned = false;
        std::function<void(Result&)> discard;
    };
    auto shared = std::make_shared<Shared>();
    shared->discard = std::move(discard);
    std::thread([shared, work = std::move(work)]() mutable {
        Result result = work();
        std::lock_guard guard(shared->lock);
        if (shared->abandoned) {
            shared->discard(result);
            return;
        }
        shared->result = std::move(result);
        shared->done_signal.notify_all();
    }).detach();

    constexpr std::chrono::milliseconds kSlice{10};  // how soon an interrupt is seen
    std::unique_lock guard(shared->lock);
    while (!shared->result) {
        if (limit.expired() || (interrupt != nullptr && interrupt->raised())) {
            shared->abandoned = true;
            return std::nullopt;
        }
        shared->done_signal.wait_for(guard, std::min<std::chrono::milliseconds>(kSlice, limit.remaining()));
    }
    return std::move(shared->result);
}

}  // namespace Wsr37100
