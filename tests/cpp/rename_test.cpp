// Renames: what only the core can show (depths, links, handles). The cases
// of which rename succeeds and which fails are in the Python tests' table,
// and renames racing other threads in core_concurrency_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

using Names = std::vector<std::string>;

std::string chain(std::string path, int levels) {
    for (int i = 0; i < levels; ++i)
        path += "/c";
    return path;
}

// A moved directory takes its whole subtree to the new depth, and a move
// that would put a node below the depth limit moves nothing.
TEST(Rename, ASubtreeMovesToItsNewDepthOrNotAtAll) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/deep").ok());
    for (int level = 1; level <= 40; ++level)
        ASSERT_TRUE(fs->mkdir(chain("/deep", level)).ok());
    ASSERT_TRUE(fs->mkdir("/t").ok());
    for (int level = 1; level <= 30; ++level)
        ASSERT_TRUE(fs->mkdir(chain("/t", level)).ok());
    ASSERT_TRUE(fs->touch(chain("/t", 30) + "/f").ok());
    // /t holds 31 levels below it; under /deep/c.../c (depth 41) it would
    // reach 73.
    EXPECT_EQ(fs->rename("/t", chain("/deep", 40) + "/t").error(),
              IoError::MaxRecursionDepthExceeded);
    EXPECT_EQ((*fs->get_inode_by_path(chain("/t", 30) + "/f"))->depth(), 32u);
    EXPECT_EQ(testing::check_tree(*fs), "");
    // Deeper within the limit, then back up.
    ASSERT_TRUE(fs->rename("/t", chain("/deep", 20) + "/t").ok());
    EXPECT_EQ((*fs->get_inode_by_path(chain(chain("/deep", 20) + "/t", 30) + "/f"))->depth(),
              53u);
    EXPECT_EQ(testing::check_tree(*fs), "");
    // A creation at the new bottom is checked against the new depth.
    EXPECT_EQ(fs->mkdir(chain(chain(chain("/deep", 20) + "/t", 30), 12)).error(),
              IoError::InodeNotFound);
    ASSERT_TRUE(fs->rename(chain("/deep", 20) + "/t", "/u").ok());
    EXPECT_EQ((*fs->get_inode_by_path(chain("/u", 30) + "/f"))->depth(), 32u);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// Handles name the node, so a file moved while open keeps its readers and
// writers; a link moves as an entry, and what it leads to stays.
TEST(Rename, OpenFilesAndLinksMoveAsTheyAre) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/a").ok());
    ASSERT_TRUE(fs->mkdir("/b").ok());
    auto writer = FileSystem::open(fs, "/a/f", FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(fs->rename("/a/f", "/b/g").ok());
    const std::uint8_t bytes[] = {'h', 'i'};
    EXPECT_EQ(*writer->write(bytes), 2u);
    EXPECT_EQ(*fs->get_path_by_inode(*writer->id()), "/b/g");
    EXPECT_EQ(fs->stat("/b/g")->size, 2u);
    ASSERT_TRUE(writer->close().ok());

    // A link is found under its target's name, wherever it is listed: it
    // moves only where that name is free.
    const std::uint64_t b = *fs->find_inode_by_name(kRootId, "b");
    const std::uint64_t a = *fs->find_inode_by_name(kRootId, "a");
    ASSERT_TRUE(fs->mkdir("/c").ok());
    ASSERT_TRUE(fs->create_symlink(a, "ignored", b).ok());
    EXPECT_EQ(fs->rename("/a/b", "/x").error(), IoError::ResourceAlreadyExists);
    ASSERT_TRUE(fs->rename("/a/b", "/c/x").ok());
    EXPECT_EQ(fs->ls("/a")->directories, Names{});
    EXPECT_EQ(fs->ls("/c")->directories, Names{"b"});
    EXPECT_EQ(fs->stat("/c/b/g")->size, 2u);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

}  // namespace
}  // namespace halvorn
