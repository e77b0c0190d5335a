// A four-byte reader-writer lock whose readers do not write shared memory.
//
// A reader announces the lock in one of its thread's read slots and then
// checks that no writer is present; a writer sets its bit in the word and
// then waits until no slot announces the lock (see read_slots.hpp). Both
// sides use sequentially consistent accesses, so at least one of them sees
// the other: either the reader backs off, or the writer waits for it. This
// is the one place where the core needs a store kept before a later load of
// another variable. On Arm the reader's side is STLR then LDAR, and the
// writer's a CASAL (or LDAXR/STLXR) then LDARs, and Arm keeps both pairs in
// order; with acquire loads, which may be LDAPR, it need not. Run under an
// emulator, no test tells a right order here from a wrong one (README.md,
// "64-bit Arm"), so the reason for each order is written beside it.
//
// When a thread has no free slot, it counts itself in the word instead, and
// the writer waits for that count as well.
//
// Writers are preferred: once a writer has set its bit, new readers wait.
// Readers therefore must not take the same lock again while holding it
// shared, and nobody may ask for it exclusively while holding it shared;
// lock() reports the latter as a fault before it sets its bit, so the lock
// stays usable for everyone else.
#pragma once

#include <atomic>
#include <cstdint>

#include "fs/read_slots.hpp"

namespace halvorn::sync {

class RwLock {
public:
    // Identifies a shared hold: the slot that announces it, or kCounted.
    using ReadToken = int;
    static constexpr ReadToken kCounted = ReadSlots::kNoSlot;

    RwLock() = default;
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    ReadToken lock_shared() {
        // The reader half of the handshake: announce, then look for a writer,
        // both seq_cst.
        const int slot = ReadSlots::announce(this, std::memory_order_seq_cst);
        if (slot != ReadSlots::kNoSlot && !(word_.load(std::memory_order_seq_cst) & kWriter))
            [[likely]]
            return slot;
        return lock_shared_slow(slot);
    }
    // Never waits: false when a writer holds the lock or waits for it.
    bool try_lock_shared(ReadToken& token);
    void unlock_shared(ReadToken token) {
        if (token == kCounted) {
            ReadSlots::forget_counted(this);
            // Release: the loads of this hold are done before a writer that
            // sees the count reach 0 (acquire, in lock()) changes what they
            // read.
            word_.fetch_sub(1, std::memory_order_release);
        } else {
            ReadSlots::retract(token);
        }
    }

    void lock();
    void unlock();

private:
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kSleepers = 1u << 30;
    static constexpr std::uint32_t kCountMask = kSleepers - 1;

    // The rest of lock_shared: `slot` is the announcement already made (and
    // refused by a writer), or kNoSlot.
    ReadToken lock_shared_slow(int slot);
    // Sleeps until the writer bit is seen clear; `seen` is the last value read.
    void wait_while_writer(std::uint32_t seen);
    bool try_count_reader();

    // Writer bit, "someone sleeps on this word" bit, and the number of
    // counted readers.
    std::atomic<std::uint32_t> word_{0};
};

// Scoped holds.
class ReadLock {
public:
    explicit ReadLock(RwLock& lock) : lock_(lock), token_(lock.lock_shared()) {}
    ~ReadLock() { lock_.unlock_shared(token_); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    RwLock& lock_;
    RwLock::ReadToken token_;
};

class WriteLock {
public:
    explicit WriteLock(RwLock& lock) : lock_(lock) { lock_.lock(); }
    ~WriteLock() { lock_.unlock(); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    RwLock& lock_;
};

}  // namespace halvorn::sync
