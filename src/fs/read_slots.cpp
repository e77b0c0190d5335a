#include "fs/read_slots.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <thread>

#include "error/internal_fault.hpp"
#include "fs/thread_records.hpp"

namespace halvorn::sync {

constinit thread_local ThreadRecord* this_thread_record = nullptr;

int ReadSlots::announce_slow(const void* object, std::memory_order order) {
    // Either the thread's first read, or all of its slots are taken.
    if (this_thread_record != nullptr || thread_records::claim() == nullptr) return kNoSlot;
    return announce(object, order);
}

void ReadSlots::wait_until_unannounced(const void* object) {
    // The writer half of the handshake: the caller has just stopped new
    // announcements with a seq_cst read-modify-write, and the loads of the
    // list's head and of the slots are seq_cst (LDAR on Arm, which stays
    // after the release of that write) so that they cannot read the list and
    // the slots as they were before it. A load that reads a slot cleared also
    // acquires the release in retract(), so the caller sees that hold done.
    const ThreadRecord* mine = this_thread_record;
    for (ThreadRecord* r = thread_records::first(); r != nullptr;
         r = r->next.load(std::memory_order_acquire)) {
        for (auto& slot : r->slots) {
            if (slot.load(std::memory_order_seq_cst) != object) continue;
            // Callers check before they change anything (held_by_this_thread);
            // this only keeps a caller that did not from waiting forever.
            check_invariant(r != mine, "a thread waits for its own read of an object to end");
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
    // Only the slots in use, which the owner's own mask tells: every
    // exclusive lock asks, most often holding none or one.
    for (std::uint32_t used = ~record->free_mask & ((1u << kSlotsPerThread) - 1); used != 0;
         used &= used - 1) {
        const auto& slot = record->slots[std::countr_zero(used)];
        if (slot.load(std::memory_order_relaxed) == object) return true;
    }
    for (std::uint32_t i = 0; i < record->counted_size; ++i) {
        if (record->counted[i] == object) return true;
    }
    return false;
}

namespace {

constexpr std::uint32_t kSpinRounds = 64;
constexpr std::uint32_t kYieldRounds = 64;
constexpr auto kFirstSleep = std::chrono::microseconds(20);
constexpr auto kLongestSleep = std::chrono::microseconds(1000);

}  // namespace

void Backoff::pause() {
    if (rounds_ < kSpinRounds) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    } else if (rounds_ < kSpinRounds + kYieldRounds) {
        std::this_thread::yield();
    } else {
        // A wait this long is behind real work: sleep, twice as long each
        // time up to a millisecond, so that it costs a few microseconds of
        // CPU per millisecond instead of a whole core.
        const std::uint32_t doublings = std::min<std::uint32_t>(
            rounds_ - kSpinRounds - kYieldRounds, 6);  // 20 us << 6 passes 1 ms
        std::this_thread::sleep_for(
            std::min<std::chrono::microseconds>(kFirstSleep * (1u << doublings), kLongestSleep));
    }
    ++rounds_;
}

}  // namespace halvorn::sync
