#include <gtest/gtest.h>

#include "fs/file_system.hpp"

namespace halvorn {
namespace {

class Paths : public ::testing::Test {
protected:
    void SetUp() override {
        a = *fs.create_inode(kRootId, "a", INodeKind::Directory);
        b = *fs.create_inode(a, "b", INodeKind::Directory);
        f = *fs.create_inode(kRootId, "f", INodeKind::File);
    }
    Result<std::uint64_t> path(std::string_view text) {
        auto guard = fs.get_inode_by_path(text);
        if (!guard) return guard.error();
        return (*guard)->id();
    }
    FileSystem fs;
    std::uint64_t a = 0, b = 0, f = 0;
};

TEST_F(Paths, ResolveFromTheRootWithEitherSeparator) {
    for (const char* root : {"", "/", "//", ".", "/..", "/../..", "\\", "a/.."})
        EXPECT_EQ(*path(root), kRootId) << root;
    for (const char* to_a : {"a", "/a", "a/", "//a//", "/./a", "\\a", "/../../a", "a/b/.."})
        EXPECT_EQ(*path(to_a), a) << to_a;
    for (const char* to_b : {"a/b", "a/b/", "/a//b", "\\a\\b", "a\\b", "/a/./b/."})
        EXPECT_EQ(*path(to_b), b) << to_b;
    EXPECT_EQ(*path("/f/.."), kRootId);  // ".." of a file is its parent
    EXPECT_EQ(*path("/f/."), f);
    EXPECT_EQ(path("/f/x").error(), IoError::NotADirectory);
    EXPECT_EQ(path("/missing/x").error(), IoError::InodeNotFound);
    EXPECT_EQ(path("/A").error(), IoError::InodeNotFound);
}

TEST_F(Paths, ComponentsAreNotLimited) {
    std::string long_path;
    for (int i = 0; i < 5000; ++i)
        long_path += "/a/./b/../..";
    long_path += "/a/b";
    EXPECT_EQ(*path(long_path), b);
}

TEST_F(Paths, NameLookupInADirectory) {
    EXPECT_EQ(*fs.find_inode_by_name(a, ""), a);
    EXPECT_EQ(*fs.find_inode_by_name(a, "."), a);
    EXPECT_EQ(*fs.find_inode_by_name(a, ".."), kRootId);
    EXPECT_EQ(*fs.find_inode_by_name(kRootId, ".."), kRootId);
    // "", "." and ".." apply to files too; any other name in a file does not.
    EXPECT_EQ(*fs.find_inode_by_name(f, "."), f);
    EXPECT_EQ(*fs.find_inode_by_name(f, ".."), kRootId);
    EXPECT_EQ(fs.find_inode_by_name(f, "x").error(), IoError::NotADirectory);
    EXPECT_EQ(fs.find_inode_by_name(b, "x").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.find_inode_by_name(kRootId, "a/b").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.find_inode_by_name(kRootId, "a ").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.find_inode_by_name(12345, "a").error(), IoError::InodeNotFound);
}

TEST_F(Paths, PathOfANode) {
    EXPECT_EQ(*fs.get_path_by_inode(kRootId), "/");
    EXPECT_EQ(*fs.get_path_by_inode(a), "/a");
    EXPECT_EQ(*fs.get_path_by_inode(b), "/a/b");
    ASSERT_TRUE(fs.rm("/a", true).ok());
    EXPECT_EQ(fs.get_path_by_inode(b).error(), IoError::InodeNotFound);
}

TEST_F(Paths, KindTests) {
    EXPECT_TRUE(*fs.is_directory_raw(a));
    EXPECT_FALSE(*fs.is_file_raw(a));
    EXPECT_TRUE(*fs.is_file_raw(f));
    EXPECT_FALSE(*fs.is_directory_raw(f));
    EXPECT_EQ(fs.is_file_raw(999).error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.is_directory_raw(999).error(), IoError::InodeNotFound);
}

TEST(SplitPath, CutsAtTheLastSeparator) {
    struct Case {
        const char* path;
        const char* parent;
        const char* name;
    };
    for (auto [path, parent, name] :
         {Case{"notes", "", "notes"}, Case{"/a/b", "/a", "b"}, Case{"a\\b/c", "a\\b", "c"},
          Case{"/a/", "/a", ""}, Case{"/", "", ""}, Case{"", "", ""}, Case{"a/b\\", "a/b", ""}}) {
        SplitPath split = split_last_separator(path);
        EXPECT_EQ(split.parent, parent) << path;
        EXPECT_EQ(split.name, name) << path;
    }
}

// Large directories find names through their index; the answers must be
// those of a walk through the children, links or no links.
TEST(PathsLargeDirectory, IndexAndScanAgree) {
    FileSystem fs;
    auto dir = *fs.create_inode(kRootId, "big", INodeKind::Directory);
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 300; ++i)
        ids.push_back(*fs.create_inode(dir, "n" + std::to_string(i), INodeKind::File));
    for (int i = 0; i < 300; i += 7)
        ASSERT_TRUE(fs.rm("/big/n" + std::to_string(i), false).ok());
    auto check = [&] {
        for (int i = 0; i < 300; ++i) {
            auto found = fs.find_inode_by_name(dir, "n" + std::to_string(i));
            if (i % 7 == 0)
                EXPECT_EQ(found.error(), IoError::InodeNotFound);
            else
                EXPECT_EQ(*found, ids[i]);
        }
    };
    check();
    auto elsewhere = *fs.create_inode(kRootId, "target", INodeKind::File);
    ASSERT_TRUE(fs.create_symlink(dir, "link", elsewhere).ok());
    check();
    EXPECT_EQ(fs.find_inode_by_name(dir, "link").error(), IoError::InodeNotFound);
}

TEST(PathsSymlinks, LinksAreFollowedAndFoundUnderTheirTargetsName) {
    FileSystem fs;
    auto docs = *fs.create_inode(kRootId, "docs", INodeKind::Directory);
    auto file = *fs.create_inode(docs, "a.txt", INodeKind::File);
    auto shortcut = *fs.create_inode(kRootId, "shortcut", INodeKind::Directory);
    auto link = *fs.create_symlink(shortcut, "whatever", docs);
    // Found under the name of what it leads to, and reported by its own id.
    EXPECT_EQ(*fs.find_inode_by_name(shortcut, "docs"), link);
    auto through = fs.get_inode_by_path("/shortcut/docs/a.txt");
    ASSERT_TRUE(through.ok());
    EXPECT_EQ((*through)->id(), file);
    EXPECT_TRUE(*fs.is_directory_raw(link));
    // A link that leads nowhere is passed over, by lookups as by the check
    // for a taken name: an entry listed after it is found, and only once.
    auto dir = *fs.create_inode(kRootId, "d", INodeKind::Directory);
    ASSERT_TRUE(fs.create_symlink(dir, "dangling", 999999).ok());
    auto after = *fs.create_inode(dir, "after", INodeKind::Directory);
    EXPECT_EQ(*fs.find_inode_by_name(dir, "after"), after);
    EXPECT_EQ((*fs.get_inode_by_path("/d/after"))->id(), after);
    EXPECT_EQ(fs.create_inode(dir, "after", INodeKind::File).error(),
              IoError::ResourceAlreadyExists);
    EXPECT_TRUE(fs.mkdir("/d/after/inner").ok());
    EXPECT_EQ(fs.find_inode_by_name(dir, "missing").error(), IoError::InodeNotFound);
}

TEST(PathsSymlinks, ALoopIsCutOff) {
    FileSystem fs;
    std::uint64_t first = fs.next_inode_id();
    ASSERT_TRUE(fs.create_symlink(kRootId, "x", first + 1).ok());
    ASSERT_TRUE(fs.create_symlink(kRootId, "y", first).ok());
    EXPECT_EQ(fs.get_inode_raw(first).error(), IoError::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs.find_inode_by_name(kRootId, "x").error(), IoError::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs.get_path_by_inode(first).error(), IoError::MaxRecursionDepthExceeded);
}

}  // namespace
}  // namespace halvorn
