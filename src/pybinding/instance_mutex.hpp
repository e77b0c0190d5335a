// The mutex of one Python object's payload (locked.hpp).
//
// Without the interpreter lock it is a word that is 0 when free, 1 when
// held, and 2 when held with a thread waiting: taking and letting go of a
// free one is one atomic operation each, inline, and only a holder that finds
// a waiter asks the kernel to wake it.
//
// With the interpreter lock there is nothing left for it to do. A holder
// never lets go of the interpreter and runs no Python code while it holds
// the payload (rules 1 and 2 of locked.hpp), so no other thread, and no
// finalizer of this one, can reach the payload until it is let go: the
// interpreter lock already keeps holders apart. All that is left is the
// check that those rules held, at the cost of a flag.
#pragma once

#include "pybinding/python.hpp"

#include <atomic>
#include <cstdint>

#include "error/internal_fault.hpp"

namespace halvorn::py {

#ifdef Py_GIL_DISABLED

class InstanceMutex {
public:
    InstanceMutex() = default;
    InstanceMutex(const InstanceMutex&) = delete;
    InstanceMutex& operator=(const InstanceMutex&) = delete;

    // Acquire: what the previous holder did under the mutex is seen.
    bool try_lock() {
        std::uint32_t expected = kFree;
        return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    // Waits in the kernel; the caller has let go of the interpreter first.
    void lock() {
        if (try_lock()) return;
        // Marked as waited for, so that the holder wakes this thread; a
        // thread that takes it this way keeps the mark, as other waiters
        // may sleep behind it.
        while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
            state_.wait(kWaitedFor, std::memory_order_relaxed);
    }

    // Release: publishes what this holder did to the next one.
    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kHeld = 1;
    static constexpr std::uint32_t kWaitedFor = 2;

    std::atomic<std::uint32_t> state_{kFree};
};

#else

class InstanceMutex {
public:
    InstanceMutex() = default;
    InstanceMutex(const InstanceMutex&) = delete;
    InstanceMutex& operator=(const InstanceMutex&) = delete;

    // Guarded by the interpreter lock, which every caller holds.
    bool try_lock() {
        check_invariant(!held_, "an object's payload was reached again while it was held");
        held_ = true;
        return true;
    }
    void lock() { try_lock(); }
    void unlock() { held_ = false; }

private:
    bool held_ = false;
};

#endif

}  // namespace halvorn::py
