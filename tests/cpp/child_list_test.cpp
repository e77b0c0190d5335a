#include "fs/child_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

#include "fs/inode.hpp"
#include "fs/name_index.hpp"

namespace halvorn {
namespace {

std::vector<INode*> listed(const ChildList& list) {
    std::vector<INode*> out;
    list.for_each([&](INode* child) { out.push_back(child); });
    return out;
}

// Random appends and removals against a plain vector, across the move from
// inline to heap storage and many compactions: order, lookups by name and
// the index must always agree with the model.
TEST(ChildList, MatchesAModelUnderRandomChanges) {
    std::deque<FileNode> nodes;
    for (int i = 0; i < 3000; ++i)
        nodes.emplace_back(i + 1, 0, 1, "name-" + std::to_string(i));
    ChildList list;
    std::vector<INode*> model;
    std::mt19937 random(3);
    std::size_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        bool add = next < nodes.size() && (model.empty() || random() % 5 < 3);
        if (add) {
            list.reserve_one();
            list.push_back(&nodes[next], NameKey(nodes[next].name()));
            model.push_back(&nodes[next++]);
        } else if (!model.empty()) {
            auto victim = model.begin() + random() % model.size();
            EXPECT_TRUE(list.erase(*victim));
            EXPECT_FALSE(list.erase(*victim));
            model.erase(victim);
        }
        if (step % 500 == 0) {
            ASSERT_EQ(listed(list), model) << "step " << step;
        }
    }
    ASSERT_EQ(listed(list), model);
    ASSERT_EQ(list.size(), model.size());
    for (std::size_t i = 0; i < next; ++i) {
        bool in_model = std::find(model.begin(), model.end(), &nodes[i]) != model.end();
        EXPECT_EQ(list.find(NameKey(nodes[i].name())), in_model ? &nodes[i] : nullptr) << i;
    }
}

TEST(ChildList, FindsByExactName) {
    std::deque<FileNode> nodes;
    ChildList list;
    for (const char* name : {"a", "A", "a ", "\xc3\xa9", "long-name-that-does-not-fit-inline"}) {
        nodes.emplace_back(nodes.size() + 1, 0, 1, name);
        list.reserve_one();
        list.push_back(&nodes.back(), NameKey(nodes.back().name()));
    }
    EXPECT_EQ(list.find(NameKey("A")), &nodes[1]);
    EXPECT_EQ(list.find(NameKey("a ")), &nodes[2]);
    EXPECT_EQ(list.find(NameKey("long-name-that-does-not-fit-inline")), &nodes[4]);
    EXPECT_EQ(list.find(NameKey("b")), nullptr);
    EXPECT_EQ(list.find(NameKey("")), nullptr);
}

// Emptying a large directory from the front, as a recursive removal does,
// keeps the survivors in order through every compaction.
TEST(ChildList, RemovingFromTheFrontKeepsTheOrder) {
    std::deque<FileNode> nodes;
    ChildList list;
    for (int i = 0; i < 1000; ++i) {
        nodes.emplace_back(i + 1, 0, 1, std::to_string(i));
        list.reserve_one();
        list.push_back(&nodes.back(), NameKey(nodes.back().name()));
    }
    for (int i = 0; i < 999; ++i) {
        ASSERT_TRUE(list.erase(&nodes[i]));
        ASSERT_EQ(listed(list).front(), &nodes[i + 1]);
        ASSERT_EQ(list.find(NameKey(std::to_string(999))), &nodes[999]);
    }
    EXPECT_EQ(list.size(), 1u);
}

}  // namespace
}  // namespace halvorn
