// Per-thread read announcements: the mechanism that lets readers share an
// object without writing to any memory that other readers touch.
//
// Every thread that reads owns a record of a few slots. To hold an object
// shared, a thread writes the object's address into a free slot of its own
// record; to let go, it clears the slot. A thread that needs the object
// exclusively (a writer of a lock, the remover of a table entry) first makes
// new readers stay away by its own means, then scans every record and waits
// until no slot names the object any more.
//
// Readers therefore never write a cache line that another reader writes, and
// two threads reading the same directory scale; the cost moves to writers,
// which scan one short record per thread alive that has read. A thread that
// ends hands its record back (thread_records.hpp), so a burst of threads
// costs the writers nothing once it is over.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

namespace halvorn::sync {

inline constexpr int kSlotsPerThread = 15;
// Holds taken by count that a thread remembers, so that it can tell when it
// is about to wait for itself (see ReadSlots::held_by_this_thread).
inline constexpr int kRememberedCounts = 64;

inline constexpr std::uint32_t kAllSlotsFree = (1u << kSlotsPerThread) - 1;

struct alignas(128) ThreadRecord {
    std::atomic<const void*> slots[kSlotsPerThread] = {};
    // Bit i set: slot i is free. Only the owning thread reads or writes it.
    std::uint32_t free_mask = 0;
    // The next record of the registry's list, read by scans without a lock;
    // the list's neighbour before it, or the next free record, for the
    // registry alone (thread_records.cpp).
    std::atomic<ThreadRecord*> next{nullptr};
    ThreadRecord* prev = nullptr;
    // The objects this thread holds by count (it had no slot free), which no
    // other thread can attribute to it. Only the owner reads or writes them;
    // holds beyond the first kRememberedCounts are only counted.
    const void* counted[kRememberedCounts] = {};
    std::uint32_t counted_size = 0;
    std::uint32_t counted_unremembered = 0;
};

// The calling thread's record, or null before its first read. Initial-exec
// TLS keeps the access to one instruction, also inside the extension module;
// constinit tells every user that no initialisation code has to run first.
extern constinit thread_local ThreadRecord* this_thread_record
    __attribute__((tls_model("initial-exec")));

class ReadSlots {
public:
    // Slot indices are small; kNoSlot means "this thread has no free slot"
    // and the caller falls back to a shared counter of its own.
    static constexpr int kNoSlot = -1;
    static constexpr int kSlotsPerThread = sync::kSlotsPerThread;

    // Writes `object` into a free slot of the calling thread. `order` is
    // release or stronger: a slot is reused, and a waiter that reads the new
    // object in it must also see everything its previous hold did (a store
    // that merely follows the release of the old hold would not carry that
    // along; on Arm it can even become visible first). With
    // memory_order_seq_cst the announcement is also ordered before the
    // caller's next seq_cst load (the reader half of a Dekker handshake).
    // On Arm both orders store with STLR; what makes the handshake hold is
    // that the caller's seq_cst load is an LDAR, which Arm never lets pass
    // an earlier STLR, where an acquire load may be an LDAPR (Armv8.3 and
    // later), which may.
    static int announce(const void* object, std::memory_order order) {
        ThreadRecord* record = this_thread_record;
        if (record == nullptr || record->free_mask == 0) [[unlikely]]
            return announce_slow(object, order);
        const int slot = std::countr_zero(record->free_mask);
        record->free_mask &= ~(1u << slot);
        record->slots[slot].store(object, order);
        return slot;
    }

    // Clears a slot of the calling thread, ending that hold. Release (STLR,
    // which keeps every earlier load and store before it): a waiter that
    // reads the cleared slot goes on to change what the hold protected, and
    // the hold's own loads must not see that change.
    static void retract(int slot) {
        ThreadRecord* record = this_thread_record;
        record->slots[slot].store(nullptr, std::memory_order_release);
        record->free_mask |= 1u << slot;
    }

    // Waits until no thread announces `object`. The caller must already have
    // stopped new announcements of it from taking effect, and should have
    // made sure with held_by_this_thread that it holds none itself: waiting
    // for one's own announcement would never end, so one met in the scan is
    // reported as a fault, but only once the caller has changed things.
    static void wait_until_unannounced(const void* object);

    // A hold that the calling thread takes, or lets go, by a count in the
    // object instead of a slot. Counts carry no owner, so the thread keeps
    // note of its own.
    static void note_counted(const void* object);
    static void forget_counted(const void* object);

    // Whether the calling thread holds `object` by slot or by a noted count:
    // a thread that would wait for such a hold to end would wait forever.
    // Callers check it before they change anything, so that the fault they
    // report leaves the object as it was.
    static bool held_by_this_thread(const void* object);

private:
    static int announce_slow(const void* object, std::memory_order order);
};

// Spins briefly, then yields, then sleeps: for waits that are expected to be
// short (a reader finishing a lookup) but may be long (a reader rendering a
// large file or listing a large directory), and must then cost little CPU.
// A wait that has come to sleeping ends at most about a millisecond late.
class Backoff {
public:
    void pause();

private:
    std::uint32_t rounds_ = 0;
};

}  // namespace halvorn::sync
