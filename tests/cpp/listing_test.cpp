#include <gtest/gtest.h>

#include "fs/file_system.hpp"

namespace halvorn {
namespace {

using Names = std::vector<std::string>;

TEST(Mkdir, CreatesByPathAndNeverCreatesParents) {
    FileSystem fs;
    ASSERT_TRUE(fs.mkdir("docs").ok());
    EXPECT_TRUE(fs.get_inode_by_path("/docs").ok());
    EXPECT_EQ(fs.mkdir("docs").error(), IoError::ResourceAlreadyExists);
    ASSERT_TRUE(fs.mkdir("/a").ok());
    ASSERT_TRUE(fs.mkdir("a\\b").ok());
    EXPECT_TRUE(fs.get_inode_by_path("/a/b").ok());
    EXPECT_EQ(fs.mkdir("/x/y").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.mkdir("/x/").error(),
              IoError::InodeNotFound);  // the parent path is resolved first
    EXPECT_FALSE(fs.get_inode_by_path("/x").ok());
    for (const char* bad : {"/", "", "/a/", "/a/.", "/a/..", "a/b/"})
        EXPECT_EQ(fs.mkdir(bad).error(), IoError::ResourceAlreadyExists) << bad;
    ASSERT_TRUE(fs.touch("/f").ok());
    EXPECT_EQ(fs.mkdir("/f/x").error(), IoError::NotADirectory);
    EXPECT_EQ(fs.touch("/f/x").error(), IoError::NotADirectory);
}

TEST(Touch, AnExistingNameIsLeftAlone) {
    auto fs = FileSystem::create();
    auto handle = FileSystem::open(fs, "/notes", FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(handle.ok());
    std::string text = "keep me";
    ASSERT_TRUE(handle->write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
    ASSERT_TRUE(handle->close().ok());
    ASSERT_TRUE(fs->mkdir("/dir").ok());
    EXPECT_EQ(fs->touch("/notes").error(), IoError::ResourceAlreadyExists);
    EXPECT_EQ(fs->touch("/dir").error(), IoError::ResourceAlreadyExists);
    EXPECT_NE(fs->render().find("[107, 101, 101, 112, 32, 109, 101]"), std::string::npos);
}

TEST(Mkdir, NestsUpToTheDepthLimit) {
    FileSystem fs;
    std::string path;
    for (int level = 1; level <= 64; ++level) {
        path += "/d";
        ASSERT_TRUE(fs.mkdir(path).ok()) << level;
    }
    EXPECT_EQ(fs.mkdir(path + "/d").error(), IoError::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs.touch(path + "/f").error(), IoError::MaxRecursionDepthExceeded);
}

TEST(Ls, FilesFirstThenDirectoriesEachInCreationOrder) {
    FileSystem fs;
    EXPECT_EQ(fs.ls("/")->files, Names{});
    EXPECT_EQ(fs.ls("")->directories, Names{});
    ASSERT_TRUE(fs.touch("/b").ok());
    ASSERT_TRUE(fs.mkdir("/a").ok());
    ASSERT_TRUE(fs.touch("/c").ok());
    ASSERT_TRUE(fs.mkdir("/0").ok());
    auto listing = fs.ls("/");
    EXPECT_EQ(listing->files, (Names{"b", "c"}));
    EXPECT_EQ(listing->directories, (Names{"a", "0"}));
    EXPECT_EQ(fs.ls("/b").error(), IoError::NotADirectory);
    EXPECT_EQ(fs.ls("/nope").error(), IoError::InodeNotFound);
    EXPECT_EQ(fs.ls_raw(4242).error(), IoError::InodeNotFound);
}

TEST(Ls, OrderSurvivesRemovalsInALargeDirectory) {
    FileSystem fs;
    Names expected;
    for (int i = 0; i < 100; ++i) {
        std::string name = "f" + std::to_string(i);
        ASSERT_TRUE(fs.touch(name).ok());
        if (i % 3 != 0) expected.push_back(name);
    }
    for (int i = 0; i < 100; i += 3)
        ASSERT_TRUE(fs.rm("f" + std::to_string(i), false).ok());
    EXPECT_EQ(fs.ls("/")->files, expected);
}

TEST(Ls, ALinkIsListedUnderItsTargetsNameAndKind) {
    FileSystem fs;
    auto dir = *fs.create_inode(kRootId, "real", INodeKind::Directory);
    auto box = *fs.create_inode(kRootId, "box", INodeKind::Directory);
    ASSERT_TRUE(fs.create_symlink(box, "ignored", dir).ok());
    EXPECT_EQ(fs.ls("/box")->directories, Names{"real"});
    EXPECT_EQ(fs.ls("/box")->files, Names{});
}

}  // namespace
}  // namespace halvorn
