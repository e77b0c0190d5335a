// Inputs the fuzzers once broke the core with, kept as plain cases.
#include <gtest/gtest.h>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

// A link listed after a file of the same directory leads to that file once
// it is claimed for removal; the removal must not wait for its own guard.
TEST(FuzzRegressions, RecursiveRemovalMeetsALinkToAFileItClaimed) {
    FileSystem fs;
    auto dir = *fs.create_inode(kRootId, "d", INodeKind::Directory);
    auto file = *fs.create_inode(dir, "f", INodeKind::File);
    ASSERT_TRUE(fs.create_symlink(dir, "to-f", file).ok());
    Status removed = IoError::InodeNotFound;
    ASSERT_NO_THROW(removed = fs.rm_raw(dir, true));
    EXPECT_TRUE(removed.ok());  // the link goes as an entry, and d with it
    EXPECT_EQ(fs.inodes().size(), 1u);
    EXPECT_EQ(testing::check_tree(fs), "");
}

// A path that ends in a link names what the link leads to; with a link to
// its own directory, or one above it, the removal reached the directory
// that the path's lookup had pinned and waited for its own pin. It must
// answer, and leave a whole tree, whatever it answers.
TEST(FuzzRegressions, RemovingALinkToItsOwnDirectoryOrAbove) {
    for (const char* path : {"/d/e/self", "/d/e/up"}) {
        FileSystem fs;
        auto d = *fs.create_inode(kRootId, "d", INodeKind::Directory);
        auto e = *fs.create_inode(d, "e", INodeKind::Directory);
        ASSERT_TRUE(fs.create_symlink(e, "self", e).ok());
        ASSERT_TRUE(fs.create_symlink(e, "up", d).ok());
        ASSERT_NO_THROW((void)fs.rm(path, true)) << path;
        EXPECT_EQ(testing::check_tree(fs), "") << path;
    }
}

}  // namespace
}  // namespace halvorn
