#include <gtest/gtest.h>

#include <thread>

#include "error/internal_fault.hpp"
#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

using Names = std::vector<std::string>;

class Removal : public ::testing::Test {
protected:
    Result<FileHandle> open(std::string_view path, std::uint32_t bits) {
        return FileSystem::open(fs, path, FileHandleType(bits), true);
    }
    std::shared_ptr<FileSystem> fs = FileSystem::create();
};

TEST_F(Removal, AFileWithoutHandles) {
    ASSERT_TRUE(fs->touch("/f").ok());
    auto id = *fs->find_inode_by_name(kRootId, "f");
    ASSERT_TRUE(fs->rm("/f", false).ok());
    EXPECT_EQ(fs->ls("/")->files, Names{});
    EXPECT_EQ(fs->get_inode_raw(id).error(), IoError::InodeNotFound);
    EXPECT_EQ(fs->rm("/f", false).error(), IoError::InodeNotFound);
    ASSERT_TRUE(fs->touch("/g").ok());
    EXPECT_TRUE(fs->rm("/g", true).ok());  // recurse makes no difference for a file
}

TEST_F(Removal, AnOpenFileInAnyModeStays) {
    ASSERT_TRUE(fs->touch("/f").ok());
    for (std::uint32_t bits : {0u, 1u, 2u, 3u}) {
        auto handle = open("/f", bits);
        ASSERT_TRUE(handle.ok());
        EXPECT_EQ(fs->rm("/f", false).error(), IoError::ResourceCurrentInUse) << bits;
        EXPECT_EQ(fs->rm("/", true).error(), IoError::ResourceCurrentInUse) << bits;
        ASSERT_TRUE(handle->close().ok());
    }
    EXPECT_TRUE(fs->rm("/f", false).ok());
}

TEST_F(Removal, Directories) {
    ASSERT_TRUE(fs->mkdir("/empty").ok());
    EXPECT_TRUE(fs->rm("/empty", false).ok());
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->touch("/d/f").ok());
    EXPECT_EQ(fs->rm("/d", false).error(), IoError::DirectoryIsNotEmpty);
    EXPECT_EQ(fs->ls("/d")->files, Names{"f"});
    EXPECT_EQ(fs->rm("/nowhere", true).error(), IoError::InodeNotFound);
}

TEST_F(Removal, RecursionStopsAtTheFirstFailure) {
    // /d holds, in creation order, the file a, the directory b with an open
    // file c, and the file e.
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->touch("/d/a").ok());
    ASSERT_TRUE(fs->mkdir("/d/b").ok());
    auto c = open("/d/b/c", FileHandleType::READ);
    ASSERT_TRUE(fs->touch("/d/e").ok());
    EXPECT_EQ(fs->rm("/d", true).error(), IoError::ResourceCurrentInUse);
    EXPECT_EQ(fs->ls("/d")->files, Names{"e"});
    EXPECT_EQ(fs->ls("/d")->directories, Names{"b"});
    EXPECT_EQ(fs->ls("/d/b")->files, Names{"c"});
    ASSERT_TRUE(c->close().ok());
    EXPECT_TRUE(fs->rm("/d", true).ok());
    EXPECT_EQ(fs->inodes().size(), 1u);
}

// Among plain files too: those before the open one go, it and those after
// it stay, in their order.
TEST_F(Removal, RecursionStopsAtAnOpenFileAmongFiles) {
    ASSERT_TRUE(fs->mkdir("/d").ok());
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(fs->touch("/d/f" + std::to_string(i)).ok());
    auto held = open("/d/f12", FileHandleType::WRITE);
    EXPECT_EQ(fs->rm("/d", true).error(), IoError::ResourceCurrentInUse);
    Names left;
    for (int i = 12; i < 20; ++i)
        left.push_back("f" + std::to_string(i));
    EXPECT_EQ(fs->ls("/d")->files, left);
    EXPECT_EQ(testing::check_tree(*fs), "");
    ASSERT_TRUE(held->close().ok());
    EXPECT_TRUE(fs->rm("/d", true).ok());
    EXPECT_EQ(fs->inodes().size(), 1u);
}

TEST_F(Removal, AWholeTreeGoesAndTheSiblingsKeepTheirOrder) {
    for (const char* path : {"/one", "/tree", "/tree/x", "/tree/x/y", "/three"})
        ASSERT_TRUE(fs->mkdir(path).ok());
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(fs->touch("/tree/x/y/f" + std::to_string(i)).ok());
    ASSERT_TRUE(fs->rm("/tree", true).ok());
    EXPECT_EQ(fs->ls("/")->directories, (Names{"one", "three"}));
    EXPECT_EQ(fs->inodes().size(), 3u);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

TEST_F(Removal, TheRootStaysWhileItsContentsGo) {
    ASSERT_TRUE(fs->rm("/", false).ok());
    ASSERT_TRUE(fs->mkdir("/a").ok());
    ASSERT_TRUE(fs->touch("/a/f").ok());
    EXPECT_EQ(fs->rm("", false).error(), IoError::DirectoryIsNotEmpty);
    ASSERT_TRUE(fs->rm("/", true).ok());
    EXPECT_EQ(fs->inodes().size(), 1u);
    EXPECT_TRUE(fs->mkdir("/again").ok());
    EXPECT_EQ(*fs->get_path_by_inode(*fs->find_inode_by_name(kRootId, "again")), "/again");
}

// A removed directory takes no new entries through a stale id.
TEST_F(Removal, AStaleDirectoryIdTakesNoEntries) {
    ASSERT_TRUE(fs->mkdir("/d").ok());
    auto d = *fs->find_inode_by_name(kRootId, "d");
    ASSERT_TRUE(fs->rm("/d", false).ok());
    EXPECT_EQ(fs->create_inode(d, "x", INodeKind::File).error(), IoError::InodeNotFound);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// Recursion removes a link inside the tree as an entry, never what it leads
// to: a directory elsewhere, the tree itself, or nothing at all; entries
// listed after a link go too. A node made through a link belongs to the
// directory the link led to, and outlives the link.
TEST_F(Removal, ALinkInsideTheTreeGoesAsAnEntryAndWhatItLeadsToStays) {
    ASSERT_TRUE(fs->mkdir("/keep").ok());
    ASSERT_TRUE(fs->touch("/keep/k").ok());
    ASSERT_TRUE(fs->mkdir("/d").ok());
    const auto keep = *fs->find_inode_by_name(kRootId, "keep");
    const auto d = *fs->find_inode_by_name(kRootId, "d");
    const auto to_keep = *fs->create_symlink(d, "to-keep", keep);
    ASSERT_TRUE(fs->create_symlink(d, "up", d).ok());
    ASSERT_TRUE(fs->create_symlink(d, "gone", 999999).ok());
    ASSERT_TRUE(fs->touch("/d/after").ok());
    const auto made = *fs->create_inode(to_keep, "made", INodeKind::File);
    ASSERT_TRUE(fs->rm("/d", true).ok());
    EXPECT_EQ(fs->ls("/")->directories, Names{"keep"});
    EXPECT_EQ(fs->ls("/keep")->files, (Names{"k", "made"}));
    EXPECT_EQ(fs->inodes().size(), 4u);
    EXPECT_EQ(testing::check_tree(*fs), "");
    EXPECT_EQ(*fs->get_path_by_inode(made), "/keep/made");
    EXPECT_TRUE(fs->rm("/keep/made", false).ok());
}

// The batch of claimed files is flushed on a failure too, and a fault while
// flushing (here the removal would wait for a guard its own thread holds)
// reaches the caller as a fault instead of ending the process. The fault
// comes in the flush before a subdirectory, after a file already deleted,
// and the flush on the way out must not touch that file again.
TEST_F(Removal, AFaultWhileFlushingClaimedFilesReachesTheCaller) {
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->touch("/d/first").ok());
    ASSERT_TRUE(fs->touch("/d/pinned").ok());
    ASSERT_TRUE(fs->mkdir("/d/sub").ok());
    auto open_file = open("/d/open", FileHandleType::READ);
    INodeGuard pinned = *fs->get_inode_by_path("/d/pinned");
    EXPECT_THROW((void)fs->rm("/d", true), InternalFault);
    EXPECT_EQ(fs->ls("/d")->directories, Names{"sub"});
    EXPECT_EQ(fs->ls("/d")->files, Names{"open"});
}

// A recursive removal counts an entry that went meanwhile as removed and
// goes on: removed by another thread, or renamed out of the tree (which then
// keeps it). Held at a known point: the removal waits, inside /d/s, for this
// thread's guard on /d/s/x to go, with /d/b, /d/t and /d/m still to come.
TEST_F(Removal, EntriesThatWentMeanwhileCountAsRemoved) {
    for (const char* dir : {"/d", "/d/s", "/d/t", "/e"})
        ASSERT_TRUE(fs->mkdir(dir).ok());
    for (const char* file : {"/d/s/x", "/d/b", "/d/t/y", "/d/m"})
        ASSERT_TRUE(fs->touch(file).ok());
    INodeGuard x = *fs->get_inode_by_path("/d/s/x");
    Status removed;
    std::thread remover([&] { removed = fs->rm("/d", true); });
    while (fs->ls("/d/s")->files.size() == 1)
        std::this_thread::yield();
    ASSERT_TRUE(fs->rm("/d/b", false).ok());
    ASSERT_TRUE(fs->rm("/d/t", true).ok());
    ASSERT_TRUE(fs->rename("/d/m", "/e/m").ok());
    x.release();
    remover.join();
    EXPECT_TRUE(removed.ok()) << removed.error();
    EXPECT_EQ(fs->ls("/")->directories, Names{"e"});
    EXPECT_EQ(fs->ls("/e")->files, Names{"m"});
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// Every spelling of a path names the entry a walk of it reaches: "." and
// ".." at the end name the directory they lead to, a trailing separator
// changes nothing, and the root keeps itself.
TEST_F(Removal, EverySpellingOfAPathRemovesWhatItLeadsTo) {
    struct Case {
        const char* path;
        Status expected;
        Names left;  // in the root afterwards: files, then directories
    };
    const Case cases[] = {
        {"/a/.", {}, {"f"}},
        {"/a/b/..", {}, {"f"}},
        {"a\\", {}, {"f"}},
        {"/a/b/", {}, {"f", "a"}},
        {"/f/.", {}, {"a"}},
        {"/f/x", IoError::NotADirectory, {"f", "a"}},
        {"/missing/x", IoError::InodeNotFound, {"f", "a"}},
        {"/a/..", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs = FileSystem::create();
        ASSERT_TRUE(fs->mkdir("/a").ok());
        ASSERT_TRUE(fs->mkdir("/a/b").ok());
        ASSERT_TRUE(fs->touch("/f").ok());
        Status removed = fs->rm(c.path, true);
        ASSERT_EQ(removed.ok(), c.expected.ok());
        if (!removed.ok()) {
            EXPECT_EQ(removed.error(), c.expected.error());
        }
        auto listing = fs->ls("/");
        ASSERT_TRUE(listing.ok());
        Names left = listing->files;
        left.insert(left.end(), listing->directories.begin(), listing->directories.end());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(testing::check_tree(*fs), "");
    }
}

TEST_F(Removal, CreatingAndRemovingManyTimes) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(fs->touch("/again").ok());
        ids.push_back(*fs->find_inode_by_name(kRootId, "again"));
        ASSERT_TRUE(fs->rm("/again", false).ok());
    }
    for (std::uint64_t id : ids)
        ASSERT_EQ(fs->get_inode_raw(id).error(), IoError::InodeNotFound);
    EXPECT_EQ(fs->inodes().size(), 1u);
}

}  // namespace
}  // namespace halvorn
