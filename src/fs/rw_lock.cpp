#include "fs/rw_lock.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "error/internal_fault.hpp"

namespace halvorn::sync {

namespace {

// How long a sleeper waits before it looks at the word again by itself: the
// bound on a wake-up lost to the race described at unlock().
constexpr long kSleepNanoseconds = 1'000'000;

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    const timespec timeout{0, kSleepNanoseconds};
    // Returns at once if the word no longer holds `expected`.
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            &timeout, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
}

}  // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

// Relaxed throughout: these accesses only decide when to try again, and the
// caller reads nothing on their strength; the access that then takes the
// lock orders what follows it.
void RwLock::wait_while_writer(std::uint32_t seen) {
    Backoff backoff;
    for (int spins = 0; (seen & kWriter) && spins < 32; ++spins) {
        // Most writers leave within a few hundred nanoseconds.
        backoff.pause();
        seen = word_.load(std::memory_order_relaxed);
    }
    while (seen & kWriter) {
        if (!(seen & kSleepers)) {
            // Tell the writer that it has to wake somebody when it leaves.
            if (!word_.compare_exchange_weak(seen, seen | kSleepers, std::memory_order_relaxed))
                continue;
            seen |= kSleepers;
        }
        futex_wait(word_, seen);
        seen = word_.load(std::memory_order_relaxed);
    }
}

bool RwLock::try_count_reader() {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    while (!(seen & kWriter)) {
        check_invariant((seen & kCountMask) != kCountMask, "too many counted readers of a lock");
        // The count shares its word with the writer's bit, so the word's own
        // order of read-modify-writes settles whether this reader or a writer
        // came first, with no order between two variables needed. What the
        // order carries is the acquire of unlock()'s release. (seq_cst costs
        // nothing over acq_rel here: CASAL, or LDAXR/STLXR, either way.)
        if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
            ReadSlots::note_counted(this);
            return true;
        }
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
    // Checked before the writer bit is set: a bit left set by a fault raised
    // later would shut every other thread out for good.
    check_invariant(!ReadSlots::held_by_this_thread(this),
                    "a thread waits for its own read of an object to end");
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
        if (seen & kWriter) {
            wait_while_writer(seen);
            seen = word_.load(std::memory_order_relaxed);
            continue;
        }
        // The writer half of the handshake starts here: the bit is set with
        // a seq_cst read-modify-write, so the seq_cst loads of the slots in
        // wait_until_unannounced() come after it. Its acquire pairs with the
        // previous writer's release in unlock().
        if (word_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
            break;
    }
    // New readers now stay away; wait for those already inside. Acquire is
    // enough: the count lives in the word the bit was just set in, so no
    // load here can read it as it was before; it pairs with the release of
    // a counted reader's unlock_shared().
    Backoff backoff;
    while (word_.load(std::memory_order_acquire) & kCountMask)
        backoff.pause();
    ReadSlots::wait_until_unannounced(this);
}

void RwLock::unlock() {
    // A plain release store, not an atomic exchange: an exchange would first
    // wait until every byte the writer stored has drained, which after a
    // large file write costs more than the rest of the unlock. No counted
    // reader can have entered while the writer bit was set, so the whole
    // word goes back to zero. A sleeper that announces itself between the
    // load and the store is not woken here; it wakes by its timeout instead.
    // The release (STLR) publishes this writer's changes to whoever reads
    // the word next: a reader's seq_cst load, or a writer's or counted
    // reader's read-modify-write, acquires them.
    const std::uint32_t seen = word_.load(std::memory_order_relaxed);
    word_.store(0, std::memory_order_release);
    if (seen & kSleepers) futex_wake_all(word_);
}

}  // namespace halvorn::sync
