// Renames: what only the core can show (depths, links, handles), and real
// threads racing renames against each other and everything else. The cases
// of which rename succeeds and which fails are in the Python tests' table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

using Names = std::vector<std::string>;

template <class Body>
void run_threads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (auto& thread : threads)
        thread.join();
}

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

// Two renames that would each put the other directory inside itself: at most
// one wins, and the tree never holds a cycle or loses a node.
TEST(RenameThreads, CrossedMovesNeverMakeACycle) {
    auto fs = FileSystem::create();
    for (int round = 0; round < 2000; ++round) {
        ASSERT_TRUE(fs->mkdir("/a").ok());
        ASSERT_TRUE(fs->mkdir("/b").ok());
        std::atomic<int> wins{0};
        run_threads(2, [&](int t) {
            Status moved = t == 0 ? fs->rename("/a", "/b/a") : fs->rename("/b", "/a/b");
            if (moved)
                ++wins;
            else
                ASSERT_TRUE(moved.error() == IoError::InodeNotFound ||
                            moved.error() == IoError::MoveIntoOwnSubtree)
                    << moved.error();
        });
        ASSERT_EQ(wins, 1) << round;
        ASSERT_EQ(testing::check_tree(*fs), "") << round;
        ASSERT_EQ(fs->inodes().size(), 3u) << round;
        ASSERT_TRUE(fs->rm("/", true).ok());
    }
}

// A file replaced by a rename over it is never missing: the way a program
// replaces a configuration file safely.
TEST(RenameThreads, AReplacedFileIsNeverMissing) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->touch("/d/config").ok());
    std::atomic<bool> stop{false};
    std::thread replacer([&] {
        for (int round = 0; round < 30000; ++round) {
            ASSERT_TRUE(fs->touch("/d/config.new").ok());
            Status replaced = fs->rename("/d/config.new", "/d/config");
            // A reader's handle holds the old file for a moment.
            if (!replaced) {
                ASSERT_EQ(replaced.error(), IoError::ResourceCurrentInUse);
                ASSERT_TRUE(fs->rm("/d/config.new", false).ok());
            }
        }
        stop = true;
    });
    run_threads(2, [&](int) {
        const FileHandleType read(FileHandleType::READ);
        while (!stop) {
            ASSERT_TRUE(fs->stat("/d/config").ok());
            auto opened = FileSystem::open(fs, "/d/config", read, Creation::Never);
            if (!opened) {
                ASSERT_EQ(opened.error(), IoError::ResourceCurrentInUse);
            }
            auto listing = fs->ls("/d");
            ASSERT_TRUE(listing.ok());
            ASSERT_EQ(std::count(listing->files.begin(), listing->files.end(), "config"), 1);
        }
    });
    replacer.join();
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// Renames between a few directories race creations, removals, listings,
// opens and path lookups. Every answer must be one some order of the
// operations gives: listings hold no name twice, a path built for a node is
// one of the places it can be, and the tree is whole at the end.
TEST(RenameThreads, RenamesRaceEverythingElse) {
    auto fs = FileSystem::create();
    const std::vector<std::string> dirs = {"/p", "/q", "/p/r", "/q/s"};
    for (const auto& dir : dirs)
        ASSERT_TRUE(fs->mkdir(dir).ok());
    std::atomic<bool> stop{false};
    std::thread movers[2];
    for (int m = 0; m < 2; ++m) {
        movers[m] = std::thread([&, m] {
            std::mt19937 random(m + 1);
            for (int step = 0; step < 20000; ++step) {
                const std::string& from = dirs[random() % dirs.size()];
                const std::string& to = dirs[random() % dirs.size()];
                const std::string name = std::to_string(random() % 6);
                Status moved = fs->rename(from + "/" + name, to + "/" + name);
                (void)moved;
                if (step % 500 == 0) {
                    // A directory moved into another and back.
                    (void)fs->rename("/q/s", "/p/r/s");
                    (void)fs->rename("/p/r/s", "/q/s");
                }
            }
        });
    }
    std::thread churn([&] {
        std::mt19937 random(7);
        while (!stop) {
            const std::string path =
                dirs[random() % dirs.size()] + "/" + std::to_string(random() % 6);
            switch (random() % 4) {
                case 0:
                    (void)fs->touch(path);
                    break;
                case 1:
                    (void)fs->mkdir(path);
                    break;
                case 2:
                    (void)fs->rm(path, true);
                    break;
                default: {
                    auto opened = FileSystem::open(fs, path, FileHandleType(FileHandleType::WRITE),
                                                   Creation::Never);
                    (void)opened;
                }
            }
        }
    });
    std::thread reader([&] {
        while (!stop) {
            for (const auto& dir : dirs) {
                auto listing = fs->ls(dir);
                if (!listing) continue;  // moved away for a moment
                std::set<std::string> seen;
                for (const auto& name : listing->files)
                    ASSERT_TRUE(seen.insert(name).second) << dir << "/" << name;
                for (const auto& name : listing->directories)
                    ASSERT_TRUE(seen.insert(name).second) << dir << "/" << name;
            }
            auto s = fs->get_inode_by_path("/q/s");
            if (!s) s = fs->get_inode_by_path("/p/r/s");
            if (s) {
                auto path = fs->get_path_by_inode((*s)->id());
                if (path) {
                    ASSERT_TRUE(*path == "/q/s" || *path == "/p/r/s") << *path;
                }
            }
        }
    });
    for (auto& mover : movers)
        mover.join();
    stop = true;
    churn.join();
    reader.join();
    EXPECT_EQ(testing::check_tree(*fs), "");
}

}  // namespace
}  // namespace halvorn
