#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

constexpr INodeKind kDir = INodeKind::Directory;
constexpr INodeKind kFile = INodeKind::File;

std::vector<std::uint64_t> children_of(const FileSystem& fs, std::uint64_t id) {
    std::vector<std::uint64_t> ids;
    INodeGuard guard = fs.inodes().get(id);
    sync::ReadLock hold(guard->kind_lock());
    guard->as_directory().children.for_each([&](const INode* c) { ids.push_back(c->id()); });
    return ids;
}

TEST(CreateInode, NewFileSystemHoldsOnlyTheRoot) {
    FileSystem fs;
    EXPECT_EQ(fs.inodes().size(), 1u);
    EXPECT_EQ(fs.next_inode_id(), 1u);
    EXPECT_EQ(fs.render(),
              "FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: "
              "RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
              "next_inode_id: 1 }");
}

TEST(CreateInode, IdsAreUsedUpByFailuresAfterTheNameCheck) {
    FileSystem fs;
    EXPECT_EQ(*fs.create_inode(kRootId, "a", kDir), 1u);
    EXPECT_EQ(children_of(fs, kRootId), std::vector<std::uint64_t>{1});
    INodeGuard a = fs.inodes().get(1);
    EXPECT_EQ(a->parent(), 0u);
    EXPECT_EQ(a->depth(), 1u);
    a.release();

    EXPECT_EQ(fs.create_inode(kRootId, "a", kFile).error(), IoError::ResourceAlreadyExists);
    EXPECT_EQ(fs.create_inode(999, "x", kFile).error(), IoError::InodeNotFound);
    ASSERT_EQ(*fs.create_inode(kRootId, "f", kFile), 4u);
    EXPECT_EQ(fs.create_inode(4, "x", kFile).error(), IoError::NotADirectory);
    // Invalid names are refused before an id is taken.
    for (const char* name : {"", ".", "..", "x/y", "x\\y", "/"})
        EXPECT_EQ(fs.create_inode(kRootId, name, kDir).error(), IoError::ResourceAlreadyExists)
            << name;
    EXPECT_EQ(*fs.create_inode(kRootId, "b", kDir), 6u);
    EXPECT_EQ(children_of(fs, kRootId), (std::vector<std::uint64_t>{1, 4, 6}));
}

// Each limit at its edge and just past it. A refusal changes no count; a
// long name, like an invalid one, takes no id, and every other refusal of a
// creation comes before a full table's.
TEST(CreateInode, NodeAndNameLimitsHoldAtTheirEdge) {
    FileSystem fs(Limits{.max_nodes = 4, .max_name_length = 4});
    EXPECT_EQ(fs.usage().nodes(), 1u);  // the root
    EXPECT_EQ(*fs.create_inode(kRootId, "abcd", kDir), 1u);
    EXPECT_EQ(fs.create_inode(kRootId, "abcde", kFile).error(), IoError::NameTooLong);
    EXPECT_EQ(fs.create_inode(kRootId, "\xc3\xa9\xc3\xa9\xc3\xa9", kFile).error(),
              IoError::NameTooLong);
    EXPECT_EQ(*fs.create_symlink(kRootId, "l", 1), 2u);
    EXPECT_EQ(*fs.create_inode(1, "\xc3\xa9\xc3\xa9", kFile), 3u);
    EXPECT_EQ(fs.usage().nodes(), 4u);
    EXPECT_EQ(fs.create_inode(kRootId, "g", kFile).error(), IoError::NoNodesLeft);
    EXPECT_EQ(fs.create_symlink(kRootId, "m", 1).error(), IoError::NoNodesLeft);
    EXPECT_EQ(fs.mkdir("/abcd/\xc3\xa9\xc3\xa9").error(), IoError::ResourceAlreadyExists);
    EXPECT_EQ(fs.touch("/missing/x").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.usage().nodes(), 4u);
    EXPECT_EQ(testing::check_tree(fs), "");
    // A removal gives its nodes back at once.
    ASSERT_TRUE(fs.rm("/abcd", true).ok());
    EXPECT_EQ(fs.usage().nodes(), 2u);
    EXPECT_TRUE(fs.mkdir("/a").ok() && fs.touch("/b").ok());
    EXPECT_EQ(fs.mkdir("/c").error(), IoError::NoNodesLeft);
    EXPECT_EQ(testing::check_tree(fs), "");
    // One node is the root alone.
    FileSystem only_root(Limits{.max_nodes = 1});
    EXPECT_EQ(only_root.mkdir("/a").error(), IoError::NoNodesLeft);
    EXPECT_EQ(only_root.usage().nodes(), 1u);
}

TEST(CreateInode, NamesCompareAsExactBytes) {
    FileSystem fs;
    for (const char* name : {"a", "A", "a ", " a", "it's \"quoted\"", "\xc3\xa9t\xc3\xa9", "..."})
        EXPECT_TRUE(fs.create_inode(kRootId, name, kFile).ok()) << name;
    EXPECT_FALSE(fs.create_inode(kRootId, "\xc3\xa9t\xc3\xa9", kDir).ok());
}

TEST(CreateInode, DepthIsLimitedTo64) {
    FileSystem fs;
    std::uint64_t parent = kRootId;
    for (int level = 1; level <= 64; ++level) {
        auto id = fs.create_inode(parent, "d", kDir);
        ASSERT_TRUE(id.ok()) << level;
        parent = *id;
    }
    EXPECT_EQ(fs.inodes().get(parent)->depth(), 64u);
    EXPECT_EQ(fs.create_inode(parent, "d", kDir).error(), IoError::MaxRecursionDepthExceeded);
    // At depth 64 the depth check comes before the kind check.
    INodeGuard guard = fs.inodes().get(parent);
    std::uint64_t at_63 = guard->parent();
    guard.release();
    auto file = fs.create_inode(at_63, "f", kFile);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(fs.create_inode(*file, "x", kFile).error(), IoError::MaxRecursionDepthExceeded);
}

TEST(CreateInode, RendersAFileEntry) {
    FileSystem fs;
    ASSERT_EQ(*fs.create_inode(kRootId, "d", kDir), 1u);
    ASSERT_EQ(*fs.create_inode(kRootId, "f", kFile), 2u);
    {
        INodeGuard guard = fs.inodes().get(2);
        sync::WriteLock hold(guard->kind_lock());
        FileData& data = guard->as_file().data;
        const std::uint8_t hi[] = {'h', 'i'};
        data.write(0, hi, true);
    }
    std::string text = fs.render();
    EXPECT_NE(text.find("2: INode { id: 2, parent: 0, depth: 1, name: \"f\", data: RwLock { data: "
                        "File { data: FileData { data: [104, 105] }, lock: FileLock { flag: 0 } }, "
                        "poisoned: false, .. } }"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: "
                        "Directory { children: [1, 2] }"),
              std::string::npos);
    EXPECT_NE(text.find("next_inode_id: 3 }"), std::string::npos);
}

TEST(CreateInode, RenderShowsALockedNodeWithoutWaiting) {
    FileSystem fs;
    std::atomic<bool> writing{false}, done{false};
    std::thread writer([&] {
        INodeGuard root = fs.inodes().get(kRootId);
        sync::WriteLock hold(root->kind_lock());
        writing = true;
        while (!done)
            std::this_thread::yield();
    });
    while (!writing)
        std::this_thread::yield();
    EXPECT_NE(fs.render().find("data: RwLock { data: <locked>, poisoned: false, .. }"),
              std::string::npos);
    done = true;
    writer.join();
}

TEST(Symlinks, AreFollowedAndLoopsAreCutOff) {
    FileSystem fs;
    auto dir = *fs.create_inode(kRootId, "d", kDir);
    auto link = *fs.create_symlink(kRootId, "to-d", dir);
    auto link2 = *fs.create_symlink(kRootId, "to-to-d", link);
    EXPECT_EQ(*fs.get_inode_raw(link), dir);
    EXPECT_EQ(*fs.get_inode_raw(link2), dir);
    // A link as parent creates inside the directory it leads to, which is
    // recorded as the parent: the link may go while the directory stays.
    auto child = *fs.create_inode(link2, "c", kFile);
    EXPECT_EQ(children_of(fs, dir), std::vector<std::uint64_t>{child});
    EXPECT_EQ(fs.inodes().get(child)->parent(), dir);
    auto inner = *fs.create_symlink(link, "to-c", child);
    EXPECT_EQ(fs.inodes().get(inner)->parent(), dir);

    auto dangling = *fs.create_symlink(kRootId, "gone", 12345);
    EXPECT_EQ(fs.get_inode_raw(dangling).error(), IoError::InodeNotFound);
    // Two links leading to each other.
    std::uint64_t first = fs.next_inode_id();
    ASSERT_EQ(*fs.create_symlink(kRootId, "loop-a", first + 1), first);
    ASSERT_EQ(*fs.create_symlink(kRootId, "loop-b", first), first + 1);
    EXPECT_EQ(fs.get_inode_raw(first).error(), IoError::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs.create_inode(first, "x", kFile).error(), IoError::MaxRecursionDepthExceeded);
}

// A link is known under the name of what it leads to: that name is taken in
// the link's directory, and a dangling link in front does not hide it.
TEST(Symlinks, TakeTheNameOfTheirTarget) {
    FileSystem fs;
    auto other = *fs.create_inode(kRootId, "other", kDir);
    auto target = *fs.create_inode(other, "target", kFile);
    auto dir = *fs.create_inode(kRootId, "dir", kDir);
    ASSERT_TRUE(fs.create_symlink(dir, "dangling", 999999).ok());
    ASSERT_TRUE(fs.create_symlink(dir, "link", target).ok());
    EXPECT_EQ(fs.create_inode(dir, "target", kFile).error(), IoError::ResourceAlreadyExists);
    EXPECT_TRUE(fs.create_inode(dir, "link", kFile).ok());
}

TEST(CreateInodeConcurrency, DistinctNamesAllSucceedWithDistinctIds) {
    FileSystem fs;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<std::uint64_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto id = fs.create_inode(kRootId, std::to_string(t) + "-" + std::to_string(i),
                                          i % 2 ? kFile : kDir);
                ASSERT_TRUE(id.ok());
                ids[t].push_back(*id);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    std::set<std::uint64_t> all;
    for (auto& list : ids)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), std::size_t{kThreads * kEach});
    auto listed = children_of(fs, kRootId);
    EXPECT_EQ(std::set<std::uint64_t>(listed.begin(), listed.end()), all);
    // Each thread's children appear in the order that thread created them.
    for (auto& list : ids) {
        auto it = listed.begin();
        for (auto id : list) {
            it = std::find(it, listed.end(), id);
            ASSERT_NE(it, listed.end());
        }
    }
}

TEST(CreateInodeConcurrency, OneNameIsCreatedExactlyOnce) {
    FileSystem fs;
    for (int round = 0; round < 200; ++round) {
        std::string name = "n" + std::to_string(round);
        std::atomic<int> wins{0}, exists{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                auto id = fs.create_inode(kRootId, name, kFile);
                if (id.ok())
                    ++wins;
                else if (id.error() == IoError::ResourceAlreadyExists)
                    ++exists;
            });
        }
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(wins, 1);
        ASSERT_EQ(exists, 3);
    }
    EXPECT_EQ(children_of(fs, kRootId).size(), 200u);
}

}  // namespace
}  // namespace halvorn
