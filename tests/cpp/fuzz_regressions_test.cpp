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

}  // namespace
}  // namespace halvorn
