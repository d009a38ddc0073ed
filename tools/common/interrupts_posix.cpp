// Interrupts on POSIX: SIGINT, SIGTERM and SIGHUP (a closed terminal, or a service manager) are blocked and taken by a thread of their own.
#include "common/interrupts.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace Wsr37100::common {

namespace {
constexpr timespec kSignalTick{0, 50'000'000};
}  // namespace

struct Interrupts::State {
    sigset_t caught{};
    sigset_t previous_mask{};
    std::atomic<bool> requested{false};
    mutable std::mutex lock;
    mutable std::condition_variable_any woken;
    std::jthread watcher;

    void watch(std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (::sigtimedwait(&caught, nullptr, &kSignalTick) <= 0) continue;
            {
                std::lock_guard guard(lock);
                requested = true;
            }
            woken.notify_all();
            // Only this thread takes the signals now, with their default
            // action: a second interrupt ends the process.
            ::pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
            std::unique_lock held(lock);
            woken.wait(held, stop, [] { return false; });
            return;
        }
    }
};

Interrupts::Interrupts() : state_(std::make_unique<State>()) {
    sigemptyset(&state_->caught);
    sigaddset(&state_->caught, SIGINT);
    sigaddset(&state_->caught, SIGTERM);
    sigaddset(&state_->caught, SIGHUP);
    // Threads started from now on inherit the mask, so none of them is
    // chosen to run the default action of the first interrupt.
    ::pthread_sigmask(SIG_BLOCK, &state_->caught, &state_->previous_mask);
    state_->watcher = std::jthread([state = state_.get()](std::stop_token stop) { state->watch(stop); });
}

Interrupts::~Interrupts() {
    state_->watcher.request_stop();
    state_->watcher.join();
    ::pthread_sigmask(SIG_SETMASK, &state_->previous_mask, nullptr);
}

bool Interrupts::requested() const { return state_->requested; }

bool Interrupts::sleep_for(std::chrono::milliseconds duration) const {
    std::unique_lock held(state_->lock);
    return !state_->woken.wait_for(held, duration, [this] { return state_->requested.load(); });
}

}  // namespace Wsr37100::common
