#include "fs/inode_table.hpp"

#include "error/internal_fault.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace halvorn {
namespace {

INodePtr file_node(std::uint64_t id) {
    return INodePtr(new FileNode(id, 0, 1, "n" + std::to_string(id)));
}

TEST(InodeTable, InsertGetRemove) {
    INodeTable table(42);
    EXPECT_FALSE(table.get(7));
    table.insert(file_node(7));
    {
        INodeGuard guard = table.get(7);
        ASSERT_TRUE(guard);
        EXPECT_EQ(guard->id(), 7u);
        EXPECT_EQ(guard->name(), "n7");
    }
    INodePtr removed = table.remove(7);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed->id(), 7u);
    EXPECT_FALSE(table.get(7));
    EXPECT_EQ(table.remove(7), nullptr);
    EXPECT_EQ(table.size(), 0u);
}

// The old node stays listed by its directory: handing it back to be freed
// would leave a dangling entry.
TEST(InodeTable, InsertOfATakenIdIsAFaultAndKeepsTheOldNode) {
    INodeTable table(1);
    table.insert(file_node(3));
    EXPECT_THROW(table.insert(INodePtr(new DirectoryNode(3, 0, 1, "d"))), InternalFault);
    EXPECT_TRUE(table.get(3)->is_file());
    EXPECT_EQ(table.size(), 1u);
}

// Waiting for one's own pin would never end, whether the pin is a read slot
// or (all slots taken) a count in the node; the table stays as it was.
TEST(InodeTable, RemovingANodeOnePinsItselfIsAFault) {
    INodeTable table(5);
    for (std::uint64_t id = 0; id <= sync::ReadSlots::kSlotsPerThread; ++id)
        table.insert(file_node(id));
    std::vector<INodeGuard> guards;
    for (std::uint64_t id = 0; id <= sync::ReadSlots::kSlotsPerThread; ++id) {
        guards.push_back(table.get(id));  // the last one is counted
        EXPECT_THROW((void)table.remove(id), InternalFault) << id;
    }
    guards.clear();
    for (std::uint64_t id = 0; id <= sync::ReadSlots::kSlotsPerThread; ++id)
        EXPECT_NE(table.remove(id), nullptr) << id;
}

// Random inserts and removes against a model, through several growths:
// catches probing and backward-shift mistakes that lose or resurrect ids.
TEST(InodeTable, MatchesAModelThroughGrowthAndRemoval) {
    INodeTable table(2024);
    std::map<std::uint64_t, bool> present;
    std::mt19937_64 random(7);
    for (int step = 0; step < 60000; ++step) {
        std::uint64_t id = random() % 20000;
        if (random() % 3 != 0) {
            if (present[id]) continue;
            (void)table.insert(file_node(id));
            present[id] = true;
        } else {
            INodePtr removed = table.remove(id);
            EXPECT_EQ(removed != nullptr, present[id]) << id;
            present[id] = false;
        }
    }
    std::size_t expected = 0;
    for (auto [id, is_present] : present) {
        INodeGuard guard = table.get(id);
        ASSERT_EQ(static_cast<bool>(guard), is_present) << id;
        if (guard) {
            EXPECT_EQ(guard->id(), id);
        }
        expected += is_present;
    }
    EXPECT_EQ(table.size(), expected);
    std::size_t visited = 0;
    table.for_each([&](const INode&) { ++visited; });
    EXPECT_EQ(visited, expected);
}

TEST(InodeTable, OrderDependsOnTheSeed) {
    auto order = [](std::uint64_t seed) {
        INodeTable table(seed);
        for (std::uint64_t id = 0; id < 64; ++id)
            (void)table.insert(file_node(id));
        std::vector<std::uint64_t> ids;
        table.for_each([&](const INode& node) { ids.push_back(node.id()); });
        return ids;
    };
    EXPECT_NE(order(1), order(2));
    EXPECT_EQ(order(5), order(5));
}

// A visit holds no shard while it visits (the rendering of a large file
// takes long): another thread inserts into every shard and removes from them
// meanwhile, which would wait for the visit to end if it held one.
TEST(InodeTable, AVisitLetsOthersChangeTheTable) {
    INodeTable table(13);
    for (std::uint64_t id = 0; id < 64; ++id)
        (void)table.insert(file_node(id));
    std::size_t visited = 0;
    table.for_each([&](const INode& node) {
        if (visited++ != 0) return;
        std::thread([&, id = node.id()] {
            for (std::uint64_t other = 100; other < 164; ++other)
                (void)table.insert(file_node(other));
            for (std::uint64_t other = 0; other < 64; ++other) {
                if (other != id) {
                    EXPECT_NE(table.remove(other), nullptr);
                }
            }
        }).join();  // hangs if the visit holds the shard of any of them
    });
    EXPECT_EQ(table.size(), 65u);
}

TEST(InodeTable, RemoveWaitsForAGuardHeldByAnotherThread) {
    INodeTable table(9);
    (void)table.insert(file_node(1));
    std::atomic<bool> guard_taken{false}, let_go{false}, removed{false};
    std::thread holder([&] {
        INodeGuard guard = table.get(1);
        guard_taken = true;
        while (!let_go)
            std::this_thread::yield();
        // Still readable: the remover has not freed it.
        EXPECT_EQ(guard->name(), "n1");
    });
    while (!guard_taken)
        std::this_thread::yield();
    std::thread remover([&] {
        INodePtr node = table.remove(1);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed);
    // New lookups no longer find it while the remover waits.
    EXPECT_FALSE(table.get(1));
    let_go = true;
    holder.join();
    remover.join();
    EXPECT_TRUE(removed);
}

// A thread that has run out of read slots counts its guards in the node;
// the remover must wait for those too.
TEST(InodeTable, RemoveWaitsForCountedGuards) {
    INodeTable table(11);
    for (std::uint64_t id = 0; id < 40; ++id)
        (void)table.insert(file_node(id));
    std::atomic<bool> held{false}, let_go{false}, removed{false};
    std::thread holder([&] {
        std::vector<INodeGuard> guards;
        for (std::uint64_t id = 0; id < 40; ++id)
            guards.push_back(table.get(id));
        held = true;
        while (!let_go)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    std::thread remover([&] {
        INodePtr node = table.remove(39);  // pinned by count, not by slot
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed);
    let_go = true;
    holder.join();
    remover.join();
    EXPECT_TRUE(removed);
}

// Holding guards while inserting and removing other entries, across many
// growths of every shard, with readers and another writer running.
TEST(InodeTableConcurrency, GuardHoldersChangeTheTableWhileItGrows) {
    INodeTable table(77);
    for (std::uint64_t id = 0; id < 8; ++id)
        (void)table.insert(file_node(id));
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937_64 random(r);
            while (!stop) {
                std::uint64_t id = random() % 40000;
                INodeGuard guard = table.get(id);
                // Never a half-made entry: a node found is the node asked for.
                if (guard) {
                    ASSERT_EQ(guard->name(), "n" + std::to_string(id));
                }
            }
        });
    }
    auto writer = [&](std::uint64_t first) {
        std::vector<INodeGuard> held;
        for (std::uint64_t id = 0; id < 8; ++id)
            held.push_back(table.get(id));
        for (std::uint64_t id = first; id < first + 15000; ++id) {
            (void)table.insert(file_node(id));
            if (id % 3 == 0) {
                EXPECT_NE(table.remove(id), nullptr);
            }
        }
    };
    std::thread a(writer, 100), b(writer, 20000);
    a.join();
    b.join();
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(table.size(), 8u + 2 * 10000);
}

TEST(InodeTableConcurrency, LookupsRaceWithInsertAndRemoveOfTheSameIds) {
    INodeTable table(5);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int round = 0; round < 20000; ++round) {
            std::uint64_t id = round % 64;
            (void)table.insert(file_node(id));
            INodePtr node = table.remove(id);
            EXPECT_NE(node, nullptr);
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            std::uint64_t found = 0;
            while (!stop) {
                for (std::uint64_t id = 0; id < 64; ++id) {
                    INodeGuard guard = table.get(id);
                    if (guard) {
                        ASSERT_EQ(guard->id(), id);
                        ++found;
                    }
                }
            }
            (void)found;
        });
    }
    churn.join();
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(table.size(), 0u);
}

}  // namespace
}  // namespace halvorn
