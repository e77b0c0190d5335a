#include "fs/thread_records.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "fs/read_slots.hpp"

namespace halvorn::sync::thread_records {

namespace {

// Head of the list of records in use. Only the holder of `registry_mutex`
// changes the list: it pushes a record at the front, or takes one out by
// pointing its neighbours past it. A record that leaves keeps its `next`, so
// a scan standing on it goes on to what followed it; should the record come
// back to the front before the scan moves on, its new `next` leads through
// the whole list from the front. Either way a scan reaches every record that
// stays in the list from the moment it loaded the head until it gets there.
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

std::mutex registry_mutex;
// Records handed back by ended threads, linked through `prev`; guarded by
// registry_mutex.
ThreadRecord* free_records = nullptr;
std::size_t records_in_use = 0;  // guarded by registry_mutex

// Set once the thread's record has been handed back (the thread is ending);
// later holds fall back to the shared counters.
thread_local bool this_thread_released = false;

// The caller holds registry_mutex.
void push_front(ThreadRecord* r) {
    ThreadRecord* head = registry_head.load(std::memory_order_relaxed);
    r->prev = nullptr;
    r->next.store(head, std::memory_order_relaxed);
    if (head != nullptr) head->prev = r;
    registry_head.store(r, std::memory_order_seq_cst);
    ++records_in_use;
}

// The caller holds registry_mutex; `r` announces nothing.
void hand_back(ThreadRecord* r) {
    ThreadRecord* after = r->next.load(std::memory_order_relaxed);
    if (after != nullptr) after->prev = r->prev;
    if (r->prev != nullptr)
        r->prev->next.store(after, std::memory_order_release);
    else
        registry_head.store(after, std::memory_order_seq_cst);
    r->prev = free_records;
    free_records = r;
    --records_in_use;
}

struct RecordReleaser {
    ~RecordReleaser() {
        ThreadRecord* r = this_thread_record;
        // A hold that outlives this destructor (another thread-local object
        // destroyed later) still needs its slot: then the record stays in
        // the list for good instead of being handed to a new thread.
        if (r != nullptr && r->free_mask == kAllSlotsFree) {
            std::lock_guard hold(registry_mutex);
            hand_back(r);
            this_thread_record = nullptr;
        }
        this_thread_released = true;
    }
};
thread_local RecordReleaser record_releaser;

// fork() runs these around itself, so that the child never inherits the
// list halfway through a change.
void before_fork() {
    registry_mutex.lock();
}

void after_fork_in_parent() {
    registry_mutex.unlock();
}

void after_fork_in_child() {
    // Only the forking thread lives on: what the others announced will never
    // be retracted.
    for (ThreadRecord* r = registry_head.load(std::memory_order_relaxed); r != nullptr;) {
        ThreadRecord* after = r->next.load(std::memory_order_relaxed);
        if (r != this_thread_record) {
            for (auto& slot : r->slots)
                slot.store(nullptr, std::memory_order_relaxed);
            hand_back(r);
        }
        r = after;
    }
    registry_mutex.unlock();
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

ThreadRecord* claim() {
    if (this_thread_released) return nullptr;
    // Touching the releaser registers its destructor for this thread.
    (void)&record_releaser;
    std::unique_lock hold(registry_mutex);
    ThreadRecord* r = free_records;
    if (r != nullptr) {
        free_records = r->prev;
    } else {
        // Made without the mutex, which is held for pointer changes only; a
        // std::bad_alloc leaves the registry as it was.
        hold.unlock();
        r = new ThreadRecord;
        hold.lock();
    }
    r->free_mask = kAllSlotsFree;
    r->counted_size = 0;
    r->counted_unremembered = 0;
    push_front(r);
    this_thread_record = r;
    return r;
}

ThreadRecord* first() {
    return registry_head.load(std::memory_order_seq_cst);
}

std::size_t in_use() {
    std::lock_guard hold(registry_mutex);
    return records_in_use;
}

}  // namespace halvorn::sync::thread_records
