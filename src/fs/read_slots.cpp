#include "fs/read_slots.hpp"

#include <bit>
#include <thread>

#include "error/internal_fault.hpp"

namespace halvorn::sync {

namespace {

struct alignas(128) ThreadRecord {
    std::atomic<const void*> slots[ReadSlots::kSlotsPerThread] = {};
    // Claimed by a live thread; a thread that ends releases it for reuse.
    std::atomic<bool> claimed{false};
    // Bit i set: slot i is free. Only the owning thread reads or writes it.
    std::uint32_t free_mask = 0;
    // Link in the registry; written once before the record is published.
    ThreadRecord* next = nullptr;
};

// Head of the registry. Records are pushed at the front and never unlinked,
// so a scan can walk the list without any lock.
std::atomic<ThreadRecord*> registry_head{nullptr};

thread_local ThreadRecord* this_thread_record = nullptr;
// Set once the thread's record has been handed back (the thread is ending);
// later holds fall back to the shared counters.
thread_local bool this_thread_released = false;

constexpr std::uint32_t kAllFree = (1u << ReadSlots::kSlotsPerThread) - 1;

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

inline ThreadRecord* record() {
    ThreadRecord* r = this_thread_record;
    return r != nullptr ? r : claim_record();
}

}  // namespace

int ReadSlots::announce(const void* object, std::memory_order order) {
    ThreadRecord* r = record();
    if (r == nullptr || r->free_mask == 0) [[unlikely]]
        return kNoSlot;
    int slot = std::countr_zero(r->free_mask);
    r->free_mask &= ~(1u << slot);
    r->slots[slot].store(object, order);
    return slot;
}

void ReadSlots::retract(int slot) {
    ThreadRecord* r = this_thread_record;
    r->slots[slot].store(nullptr, std::memory_order_release);
    r->free_mask |= 1u << slot;
}

bool ReadSlots::announced_by_this_thread(const void* object) {
    ThreadRecord* r = this_thread_record;
    if (r == nullptr) return false;
    for (auto& slot : r->slots) {
        if (slot.load(std::memory_order_relaxed) == object) return true;
    }
    return false;
}

void ReadSlots::wait_until_unannounced(const void* object) {
    check_invariant(!announced_by_this_thread(object),
                    "a thread waits for its own read of an object to end");
    for (ThreadRecord* r = registry_head.load(std::memory_order_acquire); r; r = r->next) {
        for (auto& slot : r->slots) {
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
