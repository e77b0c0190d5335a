#include "fs/rw_lock.hpp"

#include "error/internal_fault.hpp"

namespace halvorn::sync {

void RwLock::wait_while_writer(std::uint32_t seen) {
    while (seen & kWriter) {
        if (!(seen & kSleepers)) {
            // Tell the writer that it has to wake somebody when it leaves.
            if (!word_.compare_exchange_weak(seen, seen | kSleepers, std::memory_order_relaxed))
                continue;
            seen |= kSleepers;
        }
        word_.wait(seen, std::memory_order_relaxed);
        seen = word_.load(std::memory_order_relaxed);
    }
}

bool RwLock::try_count_reader() {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    while (!(seen & kWriter)) {
        check_invariant((seen & kCountMask) != kCountMask, "too many counted readers of a lock");
        if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
            return true;
    }
    return false;
}

RwLock::ReadToken RwLock::lock_shared_slow(int slot) {
    for (;;) {
        if (slot != ReadSlots::kNoSlot) {
            std::uint32_t seen = word_.load(std::memory_order_seq_cst);
            if (!(seen & kWriter)) return slot;
            ReadSlots::retract(slot);
            wait_while_writer(seen);
        } else {
            if (try_count_reader()) return kCounted;
            wait_while_writer(word_.load(std::memory_order_relaxed));
        }
        slot = ReadSlots::announce(this, std::memory_order_seq_cst);
    }
}

bool RwLock::try_lock_shared(ReadToken& token) {
    int slot = ReadSlots::announce(this, std::memory_order_seq_cst);
    if (slot != ReadSlots::kNoSlot) {
        if (!(word_.load(std::memory_order_seq_cst) & kWriter)) {
            token = slot;
            return true;
        }
        ReadSlots::retract(slot);
        return false;
    }
    if (!try_count_reader()) return false;
    token = kCounted;
    return true;
}

void RwLock::lock() {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
        if (seen & kWriter) {
            wait_while_writer(seen);
            seen = word_.load(std::memory_order_relaxed);
            continue;
        }
        if (word_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
            break;
    }
    // New readers now stay away; wait for those already inside.
    Backoff backoff;
    while (word_.load(std::memory_order_acquire) & kCountMask)
        backoff.pause();
    ReadSlots::wait_until_unannounced(this);
}

void RwLock::unlock() {
    // No counted reader can have entered while the writer bit was set, so
    // the whole word goes back to zero.
    if (word_.exchange(0, std::memory_order_release) & kSleepers) word_.notify_all();
}

}  // namespace halvorn::sync
