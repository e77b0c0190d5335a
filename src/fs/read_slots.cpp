#include "fs/read_slots.hpp"

#include <thread>

#include "error/internal_fault.hpp"

namespace halvorn::sync {

constinit thread_local ThreadRecord* this_thread_record = nullptr;

namespace {

constexpr std::uint32_t kAllFree = (1u << kSlotsPerThread) - 1;

// Head of the registry. Records are pushed at the front and never unlinked,
// so a scan can walk the list without any lock.
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
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        bool expected = false;
        if (!r->claimed.load(std::memory_order_relaxed) &&
            r->claimed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            r->free_mask = kAllFree;
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
    } while (!registry_head.compare_exchange_weak(head, r, std::memory_order_release,
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
    const ThreadRecord* own = this_thread_record;
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        for (auto& slot : r->slots) {
            if (slot.load(std::memory_order_seq_cst) != object) continue;
            check_invariant(r != own, "a thread waits for its own read of an object to end");
            Backoff backoff;
            while (slot.load(std::memory_order_seq_cst) == object)
                backoff.pause();
        }
    }
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
