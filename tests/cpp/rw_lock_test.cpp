#include "fs/rw_lock.hpp"

#include "error/internal_fault.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace halvorn::sync {
namespace {

TEST(RwLock, ReadersShareTheLock) {
    RwLock lock;
    ReadLock mine(lock);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        ReadLock theirs(lock);
        entered = true;
    });
    other.join();  // would hang if readers excluded each other
    EXPECT_TRUE(entered);
}

TEST(RwLock, TryReadFailsWhileAWriterHoldsIt) {
    RwLock lock;
    std::atomic<bool> writing{false}, done{false};
    std::thread writer([&] {
        WriteLock hold(lock);
        writing = true;
        while (!done)
            std::this_thread::yield();
    });
    while (!writing)
        std::this_thread::yield();
    RwLock::ReadToken token;
    EXPECT_FALSE(lock.try_lock_shared(token));
    done = true;
    writer.join();
    ASSERT_TRUE(lock.try_lock_shared(token));
    lock.unlock_shared(token);
}

TEST(RwLock, WriterWaitsForReaders) {
    RwLock lock;
    auto reader = std::make_unique<ReadLock>(lock);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        WriteLock hold(lock);
        written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(written);
    reader.reset();
    writer.join();
    EXPECT_TRUE(written);
}

// Writers exclude each other and readers see whole updates, whether the
// readers hold read slots or (having used all of theirs) count themselves.
TEST(RwLock, WritesAreExclusiveForSlottedAndCountedReaders) {
    RwLock lock;
    std::uint64_t a = 0, b = 0;  // guarded by lock; always equal outside it
    std::atomic<bool> stop{false};
    auto read = [&](int filler) {
        std::vector<std::unique_ptr<RwLock>> others(filler);
        std::vector<std::unique_ptr<ReadLock>> held;
        for (auto& other : others) {
            other = std::make_unique<RwLock>();
            held.push_back(std::make_unique<ReadLock>(*other));
        }
        while (!stop) {
            ReadLock hold(lock);
            ASSERT_EQ(a, b);
        }
    };
    std::thread slotted(read, 0), counted(read, ReadSlots::kSlotsPerThread);
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                WriteLock hold(lock);
                ++a;
                ++b;
            }
        });
    }
    for (auto& t : writers)
        t.join();
    stop = true;
    slotted.join();
    counted.join();
    EXPECT_EQ(a, 40000u);
}

TEST(ReadSlots, WaitingForOnesOwnAnnouncementIsAFault) {
    int object = 0;
    int slot = ReadSlots::announce(&object, std::memory_order_seq_cst);
    ASSERT_NE(slot, ReadSlots::kNoSlot);
    EXPECT_THROW(ReadSlots::wait_until_unannounced(&object), halvorn::InternalFault);
    ReadSlots::retract(slot);
    ReadSlots::wait_until_unannounced(&object);
}

}  // namespace
}  // namespace halvorn::sync
