// The lock word of one file: any number of shared holders or one writer,
// taken by a file handle for as long as it is open and claimed for good by
// a removal. Nothing here ever waits: a conflict is reported at once and the
// caller turns it into ResourceCurrentInUse.
//
// Every change is a read-modify-write of the one word, so the word's own
// order settles which of two claims wins; no order between two variables is
// needed. The orders carry the file's contents, which a handle reads without
// the kind lock (file_handle.hpp): a claim acquires what the last writer's
// release_write() published, and the release of release_read() keeps a
// reader's loads before the stores of whoever claims the file next. The
// loads before the exchanges only spare an exchange that would fail.
#pragma once

#include <atomic>
#include <cstdint>

#include "error/internal_fault.hpp"

namespace halvorn {

class FileLock {
public:
    static constexpr std::int64_t WRITE_EXCLUSIVE = -1;
    static constexpr std::int64_t DELETING = -2;

    // Adds one shared hold unless the word is negative (a writer or a
    // removal); retries only when another reader changed the count.
    bool try_read() {
        std::int64_t seen = flag_.load(std::memory_order_acquire);
        while (seen >= 0) {
            if (flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                            std::memory_order_acquire))
                return true;
        }
        return false;
    }

    bool try_write() { return try_claim(WRITE_EXCLUSIVE); }
    bool try_delete() { return try_claim(DELETING); }

    void release_read() {
        std::int64_t seen = flag_.load(std::memory_order_acquire);
        for (;;) {
            check_invariant(seen > 0, "assertion failed: flag > 0");
            if (flag_.compare_exchange_weak(seen, seen - 1, std::memory_order_acq_rel,
                                            std::memory_order_acquire))
                return;
        }
    }

    void release_write() {
        check_invariant(flag_.load(std::memory_order_acquire) == WRITE_EXCLUSIVE,
                        "assertion failed: self.flag.load(Ordering::Acquire) == "
                        "FileLock::WRITE_EXCLUSIVE");
        flag_.store(0, std::memory_order_release);
    }

    std::int64_t value() const { return flag_.load(std::memory_order_acquire); }

private:
    bool try_claim(std::int64_t claimed) {
        std::int64_t expected = 0;
        if (flag_.load(std::memory_order_acquire) != 0) return false;
        return flag_.compare_exchange_strong(expected, claimed, std::memory_order_acq_rel,
                                             std::memory_order_acquire);
    }

    std::atomic<std::int64_t> flag_{0};
};

}  // namespace halvorn
