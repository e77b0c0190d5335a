// The mutex of one Python object's payload (locked.hpp).
//
// A word that is 0 when free, 1 when held, and 2 when held with a thread
// waiting: taking and letting go of a free one is one atomic operation
// each, inline, and only a holder that finds a waiter asks the kernel to
// wake it.
//
// With the interpreter lock most holders never let go of the interpreter
// and run no Python code while they hold the payload (rules 1 and 2 of
// locked.hpp), so the interpreter lock keeps them apart; but a holder that
// copies many bytes runs detached (Locked::with_lock_detached), and then
// another thread may find the payload held and wait for it. A thread that
// finds it held by itself reached it again from a finalizer, which the rules
// forbid: that is checked, at the cost of a word.
#pragma once

#include "pybinding/python.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "error/internal_fault.hpp"

namespace halvorn::py {

class InstanceMutex {
public:
    InstanceMutex() = default;
    InstanceMutex(const InstanceMutex&) = delete;
    InstanceMutex& operator=(const InstanceMutex&) = delete;

    // Acquire: what the previous holder did under the mutex is seen.
    bool try_lock() {
        std::uint32_t expected = kFree;
        if (state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            note_owner();
            return true;
        }
        check_not_owner();
        return false;
    }

    // Waits in the kernel; the caller has let go of the interpreter first.
    void lock() {
        if (try_lock()) return;
        // Marked as waited for, so that the holder wakes this thread; a
        // thread that takes it this way keeps the mark, as other waiters
        // may sleep behind it.
        while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
            state_.wait(kWaitedFor, std::memory_order_relaxed);
        note_owner();
    }

    // Release: publishes what this holder did to the next one.
    void unlock() {
        clear_owner();
        if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kHeld = 1;
    static constexpr std::uint32_t kWaitedFor = 2;

#ifdef Py_GIL_DISABLED
    void note_owner() {}
    void clear_owner() {}
    void check_not_owner() const {}
#else
    // Relaxed: only the owner's own thread needs to see its own writes; any
    // other value read by another thread is not its id.
    void note_owner() { owner_.store(pthread_self(), std::memory_order_relaxed); }
    void clear_owner() { owner_.store(pthread_t{}, std::memory_order_relaxed); }
    void check_not_owner() const {
        check_invariant(!pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self()),
                        "an object's payload was reached again while it was held");
    }
    std::atomic<pthread_t> owner_{};
#endif

    std::atomic<std::uint32_t> state_{kFree};
};

}  // namespace halvorn::py
