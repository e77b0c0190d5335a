#include "fs/read_slots.hpp"

#include <thread>

#include "error/internal_fault.hpp"

namespace halvorn::sync {

constinit thread_local ThreadRecord* this_thread_record = nullptr;

namespace {

constexpr std::uint32_t kAllFree = (1u << kSlotsPerThread) - 1;

// Head of the registry. Records are pushed at the front and never unlinked,
// so a scan can walk the list without any lock.
//
// The push and the scan's load of the head are sequentially consistent, not
// release and acquire. A brand-new reader does "push record, store slot,
// load lock word"; a writer does "set writer bit, load head, load slots".
// That is the store-buffering shape: with the push a release and the head
// load an acquire, nothing orders the writer's bit before its load of the
// head, nor the reader's push before its load of the word, so both loads may
// read the old values. The writer then walks a list without the new record
// while the reader sees no writer, and both get in; on Arm this is allowed
// once acquire loads may be the weaker LDAPR (Armv8.3 and later). With every
// one of these accesses seq_cst they fall into one total order: if the
// reader's load of the word comes before the writer's bit, then so does its
// push, which the writer's later load of the head must then see, and the
// writer finds and waits for the slot.
std::atomic<ThreadRecord*> registry_head{nullptr};

// Set once the thread's record has been handed back (the thread is ending);
// later holds fall back to the shared counters.
thread_local bool this_thread_released = false;

struct RecordReleaser {
    ~RecordReleaser() {
        ThreadRecord* r = this_thread_record;
        // A hold that outlives this destructor (another thread-local object
        // destroyed later) still needs its slot: then the record stays
        // claimed for good instead of being handed to a new thread.
        if (r != nullptr && r->free_mask == kAllFree) {
            // Release, paired with the acquire of the next claim: the thread
            // that takes the record over finds its slots cleared, and its
            // own stores to them come after these in every slot's order.
            r->claimed.store(false, std::memory_order_release);
            this_thread_record = nullptr;
        }
        this_thread_released = true;
    }
};
thread_local RecordReleaser record_releaser;

ThreadRecord* claim_record() {
    if (this_thread_released) return nullptr;
    // Touching the releaser registers its destructor for this thread.
    (void)&record_releaser;
    // Acquire, paired with the push below: a record reached here is seen
    // with its link and its fields as they were when it was published.
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        bool expected = false;
        if (!r->claimed.load(std::memory_order_relaxed) &&
            r->claimed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            r->free_mask = kAllFree;
            r->counted_size = 0;
            r->counted_unremembered = 0;
            this_thread_record = r;
            return r;
        }
    }
    auto* r = new ThreadRecord;
    r->free_mask = kAllFree;
    r->claimed.store(true, std::memory_order_relaxed);
    ThreadRecord* head = registry_head.load(std::memory_order_relaxed);
    do {
        r->next = head;
    } while (!registry_head.compare_exchange_weak(head, r, std::memory_order_seq_cst,
                                                  std::memory_order_relaxed));
    this_thread_record = r;
    return r;
}

}  // namespace

int ReadSlots::announce_slow(const void* object, std::memory_order order) {
    // Either the thread's first read, or all of its slots are taken.
    if (this_thread_record != nullptr || claim_record() == nullptr) return kNoSlot;
    return announce(object, order);
}

void ReadSlots::wait_until_unannounced(const void* object) {
    check_invariant(!held_by_this_thread(object),
                    "a thread waits for its own read of an object to end");
    // The writer half of the handshake: the caller has just stopped new
    // announcements with a seq_cst read-modify-write, and these loads are
    // seq_cst (LDAR on Arm, which stays after the release of that write) so
    // that they cannot read the registry and the slots as they were before
    // it. A load that reads a slot cleared also acquires the release in
    // retract(), so the caller sees that hold done.
    for (ThreadRecord* r = registry_head.load(std::memory_order_seq_cst); r; r = r->next) {
        for (auto& slot : r->slots) {
            if (slot.load(std::memory_order_seq_cst) != object) continue;
            Backoff backoff;
            while (slot.load(std::memory_order_seq_cst) == object)
                backoff.pause();
        }
    }
}

void ReadSlots::note_counted(const void* object) {
    ThreadRecord* record = this_thread_record;
    if (record == nullptr) return;  // an ending thread; its holds go unnoted
    if (record->counted_size < kRememberedCounts)
        record->counted[record->counted_size++] = object;
    else
        ++record->counted_unremembered;
}

void ReadSlots::forget_counted(const void* object) {
    ThreadRecord* record = this_thread_record;
    if (record == nullptr) return;
    for (std::uint32_t i = record->counted_size; i-- > 0;) {
        if (record->counted[i] == object) {
            record->counted[i] = record->counted[--record->counted_size];
            return;
        }
    }
    // One of the holds past the remembered ones.
    if (record->counted_unremembered > 0) --record->counted_unremembered;
}

bool ReadSlots::held_by_this_thread(const void* object) {
    const ThreadRecord* record = this_thread_record;
    if (record == nullptr) return false;
    // Relaxed: only this thread writes its slots, and it reads its own
    // stores.
    for (const auto& slot : record->slots) {
        if (slot.load(std::memory_order_relaxed) == object) return true;
    }
    for (std::uint32_t i = 0; i < record->counted_size; ++i) {
        if (record->counted[i] == object) return true;
    }
    return false;
}

void Backoff::pause() {
    if (rounds_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    } else {
        std::this_thread::yield();
    }
    ++rounds_;
}

}  // namespace halvorn::sync
