// Real threads on one file system: the results must be those of some order
// of the operations, and the tree must stay whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

constexpr FileHandleType R(FileHandleType::READ);
constexpr FileHandleType W(FileHandleType::WRITE);
constexpr FileHandleType RW(FileHandleType::READ | FileHandleType::WRITE);

template <class Body>
void run_threads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (auto& thread : threads)
        thread.join();
}

TEST(CoreConcurrency, ReadersAndWritersOfDistinctFiles) {
    auto fs = FileSystem::create();
    {
        auto shared = FileSystem::open(fs, "/shared", W, true);
        std::string text(1000, 's');
        ASSERT_TRUE(shared->write({reinterpret_cast<const std::uint8_t*>(text.data()), 1000}));
    }
    run_threads(4, [&](int t) {
        auto own = FileSystem::open(fs, "/own" + std::to_string(t), RW, true);
        ASSERT_TRUE(own.ok());
        std::vector<std::uint8_t> out(200), in(200);
        for (int round = 0; round < 500; ++round) {
            std::fill(out.begin(), out.end(), static_cast<std::uint8_t>(t * 50 + round));
            ASSERT_EQ(*own->write(out), out.size());
            ASSERT_TRUE(own->seek(SeekOrigin::Start, 0).ok());
            ASSERT_EQ(*own->read(in), in.size());
            ASSERT_EQ(in, out);
            ASSERT_TRUE(own->seek(SeekOrigin::Start, 0).ok());
            auto reader = FileSystem::open(fs, "/shared", R, true);
            ASSERT_TRUE(reader.ok());
            std::vector<std::uint8_t> shared(1000);
            ASSERT_EQ(*reader->read(shared), 1000u);
            ASSERT_EQ(shared, std::vector<std::uint8_t>(1000, 's'));
        }
    });
    EXPECT_EQ(testing::check_tree(*fs), "");
}

TEST(CoreConcurrency, AnOpenAndARemovalOfOneFileHaveExactlyOneWinner) {
    auto fs = FileSystem::create();
    for (int round = 0; round < 2000; ++round) {
        ASSERT_TRUE(fs->touch("/f").ok());
        const std::uint64_t id = *fs->find_inode_by_name(kRootId, "f");
        std::atomic<bool> go{false};
        std::optional<Result<FileHandle>> opened;
        Status removed;
        std::thread opener([&] {
            while (!go) {
            }
            opened.emplace(FileSystem::open_raw(fs, id, round % 2 ? R : W));
        });
        std::thread remover([&] {
            while (!go) {
            }
            removed = fs->rm_raw(id, false);
        });
        go = true;
        opener.join();
        remover.join();
        ASSERT_NE(opened->ok(), removed.ok()) << round;
        if (opened->ok()) {
            EXPECT_EQ(removed.error(), IoError::ResourceCurrentInUse);
            ASSERT_TRUE((*opened)->close().ok());
            ASSERT_TRUE(fs->rm_raw(id, false).ok());
        } else {
            IoError why = opened->error();
            EXPECT_TRUE(why == IoError::ResourceCurrentInUse || why == IoError::InodeNotFound);
        }
    }
    EXPECT_EQ(fs->inodes().size(), 1u);
}

// An open that creates its file holds it from the moment it is listed, so a
// removal racing it finds the file in use; the open never answers that the
// file it just made is not there.
TEST(CoreConcurrency, ACreatingOpenRacingRemovalsOfItsPathNeverLosesItsFile) {
    auto fs = FileSystem::create();
    std::atomic<bool> done{false};
    std::thread remover([&] {
        while (!done)
            (void)fs->rm("/f", false);
    });
    for (int round = 0; round < 20000; ++round) {
        auto opened = FileSystem::open(fs, "/f", round % 2 ? R : W, true);
        if (opened.ok()) {
            ASSERT_TRUE(opened->close().ok());
        } else {
            ASSERT_EQ(opened.error(), IoError::ResourceCurrentInUse) << round;
        }
    }
    done = true;
    remover.join();
}

// Creations inside a directory that another thread removes recursively must
// either land before the removal sees them (and make it fail or be removed
// with it) or fail: never leave a node that no directory lists.
TEST(CoreConcurrency, CreationsRacingWithRecursiveRemovalLeaveNoOrphans) {
    auto fs = FileSystem::create();
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(fs->mkdir("/p").ok());
        const std::uint64_t p = *fs->find_inode_by_name(kRootId, "p");
        std::atomic<bool> gone{false};
        std::thread remover([&] {
            while (!fs->rm("/p", true).ok())
                std::this_thread::yield();
            gone = true;
        });
        run_threads(2, [&](int t) {
            // Bounded, so that the removal wins in the end however the
            // threads are scheduled.
            for (int i = 0; i < 200 && !gone; ++i) {
                auto child = fs->create_inode(p, std::to_string(t) + "-" + std::to_string(i),
                                              i % 3 ? INodeKind::File : INodeKind::Directory);
                if (!child) {
                    ASSERT_EQ(child.error(), IoError::InodeNotFound);
                    break;
                }
                if (i % 3 == 0) (void)fs->create_inode(*child, "inner", INodeKind::File);
            }
        });
        remover.join();
        ASSERT_EQ(testing::check_tree(*fs), "") << round;
        ASSERT_EQ(fs->inodes().size(), 1u) << round;
    }
}

// Threads churning a file, creating files and growing them until the limits
// refuse, then removing what they made and starting again, never see the
// counts pass a limit; a refused write leaves its file's size alone, and once
// they are done the counts are what the tree holds.
TEST(CoreConcurrency, ThreadsFillingTheLimitsNeverPassThem) {
    constexpr std::uint64_t kBytes = 200'000, kNodes = 120;
    auto fs = FileSystem::create(Limits{.max_bytes = kBytes, .max_nodes = kNodes});
    auto within = [&] {
        EXPECT_LE(fs->usage().bytes(), kBytes);
        EXPECT_LE(fs->usage().nodes(), kNodes);
    };
    run_threads(4, [&](int t) {
        std::mt19937 random(t);
        const std::string dir = "/t" + std::to_string(t);
        for (int round = 0; round < 6; ++round) {
            if (Status made = fs->mkdir(dir); !made) {
                ASSERT_TRUE(made.error() == IoError::NoNodesLeft ||
                            made.error() == IoError::NoSpaceLeft);
            }
            // Churn: every change of the node count races the others'.
            for (int i = 0; i < 20000; ++i) {
                if (fs->touch(dir + "/s").ok()) {
                    ASSERT_TRUE(fs->rm(dir + "/s", false).ok());
                }
                within();
            }
            for (int i = 0; i < 60; ++i) {
                auto file = FileSystem::open(fs, dir + "/" + std::to_string(i), W, true);
                within();
                if (!file) {
                    ASSERT_TRUE(file.error() == IoError::NoNodesLeft ||
                                file.error() == IoError::NoSpaceLeft ||
                                file.error() == IoError::InodeNotFound);
                    break;
                }
                for (;;) {
                    ASSERT_TRUE(file->seek(SeekOrigin::End, 0).ok());
                    const std::uint64_t size = file->offset();
                    const std::vector<std::uint8_t> piece(random() % 3000, 1);
                    auto wrote = file->write(piece);
                    within();
                    if (wrote) continue;
                    ASSERT_EQ(wrote.error(), IoError::NoSpaceLeft);
                    ASSERT_TRUE(file->seek(SeekOrigin::End, 0).ok());
                    ASSERT_EQ(file->offset(), size);
                    break;
                }
            }
            // Missing only when the limit refused its making.
            Status removed = fs->rm(dir, true);
            ASSERT_TRUE(removed.ok() || removed.error() == IoError::InodeNotFound);
            within();
        }
    });
    EXPECT_EQ(testing::check_tree(*fs), "");
    ASSERT_TRUE(fs->rm("/", true).ok());
    EXPECT_EQ(fs->usage().nodes(), 1u);
    EXPECT_EQ(fs->usage().bytes(), 0u);
}

// Names count against max_bytes as contents do. Threads that create files
// under long names, rename them between a shared directory and their own,
// write, truncate and remove them never see the count pass the limit, and
// whatever was refused took nothing: at the end the count is what the tree
// holds, and the start once the tree is emptied.
TEST(CoreConcurrency, NamesAndContentsShareTheByteLimitExactly) {
    constexpr std::uint64_t kBytes = 300'000;
    auto fs = FileSystem::create(Limits{.max_bytes = kBytes});
    ASSERT_TRUE(fs->mkdir("/shared").ok());
    const std::uint64_t start = fs->usage().bytes();
    run_threads(4, [&](int t) {
        std::mt19937 random(t);
        const std::string dir = "/t" + std::to_string(t);
        ASSERT_TRUE(fs->mkdir(dir).ok());
        // Each file has two names of different lengths: its own and the
        // one it takes in the shared directory.
        auto name = [&](int i, int shared = 0) {
            const std::size_t length = (i * 997 + shared * 1543) % 3000;
            return std::to_string(t) + "_" + std::to_string(i) + std::string(length, 'n');
        };
        for (int i = 0; i < 3000; ++i) {
            const int file = static_cast<int>(random() % 20);
            const std::string path = dir + "/" + name(file);
            switch (random() % 5) {
                case 0: {
                    Status made = fs->touch(path);
                    ASSERT_TRUE(made.ok() || made.error() == IoError::NoSpaceLeft ||
                                made.error() == IoError::ResourceAlreadyExists);
                    break;
                }
                case 1: {
                    const std::string to = "/shared/" + name(file, 1);
                    if (fs->rename(path, to).ok()) (void)fs->rename(to, path);
                    break;
                }
                case 2:
                case 3: {
                    auto file = FileSystem::open(fs, path, W, false);
                    if (!file) break;
                    const std::vector<std::uint8_t> piece(random() % 20'000, 1);
                    (void)file->write_at(random() % 40'000, piece);
                    (void)file->truncate(random() % 30'000);
                    break;
                }
                default:
                    (void)fs->rm(path, false);
            }
            EXPECT_LE(fs->usage().bytes(), kBytes);
        }
    });
    EXPECT_EQ(testing::check_tree(*fs), "");
    ASSERT_TRUE(fs->rm("/", true).ok());
    ASSERT_TRUE(fs->mkdir("/shared").ok());
    EXPECT_EQ(fs->usage().bytes(), start);
    EXPECT_EQ(fs->usage().nodes(), 2u);
}

// The last look of a removal at a directory it has emptied: an entry made
// meanwhile keeps the directory. The remover is held at a known point, the
// deletion of a child it has already unlinked, by this thread's guard on it.
TEST(CoreConcurrency, AnEntryMadeWhileARemovalEmptiesItsDirectoryKeepsIt) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/p").ok());
    ASSERT_TRUE(fs->mkdir("/p/c").ok());
    const std::uint64_t p = *fs->find_inode_by_name(kRootId, "p");
    INodeGuard c = *fs->get_inode_by_path("/p/c");
    Status removed;
    std::thread remover([&] { removed = fs->rm("/p", true); });
    while (!fs->ls("/p")->directories.empty())
        std::this_thread::yield();
    ASSERT_TRUE(fs->create_inode(p, "late", INodeKind::File).ok());
    c.release();
    remover.join();
    EXPECT_EQ(removed.error(), IoError::DirectoryIsNotEmpty);
    EXPECT_EQ(fs->ls("/p")->files, std::vector<std::string>{"late"});
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// An open that creates a missing file, and finds the name taken by the time
// it creates: it opens what is there now. Held at a known point: the opener
// has found /d/f missing and waits to create it behind this thread's read
// of /d. Meanwhile the name appears, through a link in /d that led nowhere
// and now leads to a new file named f.
TEST(CoreConcurrency, AnOpenThatLosesTheCreationOpensTheWinnersFile) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->mkdir("/other").ok());
    const std::uint64_t d = *fs->find_inode_by_name(kRootId, "d");
    // Ids: the link, then the id the opener takes, then the file it meets.
    const std::uint64_t link = fs->next_inode_id();
    ASSERT_EQ(*fs->create_symlink(d, "soon", link + 2), link);
    INodeGuard dir = *fs->get_inode_by_path("/d");
    auto reading = std::make_unique<sync::ReadLock>(dir->kind_lock());
    std::optional<Result<FileHandle>> opened;
    std::thread opener([&] { opened.emplace(FileSystem::open(fs, "/d/f", R, true)); });
    for (sync::RwLock::ReadToken token; dir->kind_lock().try_lock_shared(token);) {
        dir->kind_lock().unlock_shared(token);
        std::this_thread::yield();
    }
    ASSERT_EQ(*fs->create_inode(*fs->find_inode_by_name(kRootId, "other"), "f", INodeKind::File),
              link + 2);
    reading.reset();
    opener.join();
    ASSERT_TRUE(opened->ok());
    EXPECT_EQ((*opened)->id(), link);  // as the directory lists it
    EXPECT_EQ(fs->ls("/d")->files, std::vector<std::string>{"f"});
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// An open that may create never fails for a name that is free: it loses the
// creation to a file that a removal then takes away. Held at known points:
// the opener waits to create /d/f behind this thread's read of /d, while the
// name appears through a link in /d that led nowhere and now leads to
// /other/f; a recursive removal of /other has claimed /other/x and /other/f
// together and waits, /other already empty, to delete x while this thread
// pins it, f still to go. The opener then finds the name taken by a file on
// its way out; it must wait for it to go and create its own, not answer
// "Resource is currently in use" or "Resource already exists".
TEST(CoreConcurrency, AnOpenThatLosesTheCreationToAFileBeingRemovedCreatesItsOwn) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d").ok());
    ASSERT_TRUE(fs->mkdir("/other").ok());
    ASSERT_TRUE(fs->touch("/other/x").ok());
    const std::uint64_t d = *fs->find_inode_by_name(kRootId, "d");
    const std::uint64_t link = fs->next_inode_id();
    ASSERT_EQ(*fs->create_symlink(d, "soon", link + 2), link);
    INodeGuard dir = *fs->get_inode_by_path("/d");
    auto reading_d = std::make_unique<sync::ReadLock>(dir->kind_lock());
    std::optional<Result<FileHandle>> opened;
    std::thread opener([&] { opened.emplace(FileSystem::open(fs, "/d/f", R, true)); });
    for (sync::RwLock::ReadToken token; dir->kind_lock().try_lock_shared(token);) {
        dir->kind_lock().unlock_shared(token);
        std::this_thread::yield();
    }
    const std::uint64_t other = *fs->find_inode_by_name(kRootId, "other");
    ASSERT_EQ(*fs->create_inode(other, "f", INodeKind::File), link + 2);
    INodeGuard x = *fs->get_inode_by_path("/other/x");
    Status removed;
    std::thread remover([&] { removed = fs->rm("/other", true); });
    while (!fs->ls("/other")->files.empty())
        std::this_thread::yield();
    reading_d.reset();
    // The opener now finds the name taken; an opener that gives up does so
    // within this wait, one that waits for the file to go keeps trying.
    for (int i = 0; i < 200 && !opened; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    x.release();
    remover.join();
    opener.join();
    ASSERT_TRUE(removed.ok());
    ASSERT_TRUE(opened->ok()) << opened->error();
    EXPECT_EQ(fs->ls("/d")->files, std::vector<std::string>{"f"});
    EXPECT_EQ(testing::check_tree(*fs), "");
}

TEST(CoreConcurrency, ListingsRaceWithCreationAndRemoval) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d").ok());
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        std::mt19937 random(1);
        for (int step = 0; step < 20000; ++step) {
            int n = random() % 40;
            std::string path = (n % 2 ? "/d/f" : "/d/g") + std::to_string(n);
            if (random() % 2) {
                Status created = n % 2 ? fs->touch(path) : fs->mkdir(path);
                (void)created;
            } else {
                (void)fs->rm(path, false);
            }
        }
        stop = true;
    });
    run_threads(2, [&](int) {
        while (!stop) {
            auto listing = fs->ls("/d");
            ASSERT_TRUE(listing.ok());
            std::set<std::string> seen;
            for (const auto& name : listing->files) {
                ASSERT_EQ(name[0], 'f');
                ASSERT_TRUE(seen.insert(name).second);
            }
            for (const auto& name : listing->directories) {
                ASSERT_EQ(name[0], 'g');
                ASSERT_TRUE(seen.insert(name).second);
            }
        }
    });
    churn.join();
    EXPECT_EQ(testing::check_tree(*fs), "");
}

TEST(CoreConcurrency, PathWalksRaceWithTheirPathBeingRemovedAndRebuilt) {
    auto fs = FileSystem::create();
    std::atomic<bool> stop{false};
    std::thread rebuild([&] {
        for (int round = 0; round < 3000; ++round) {
            (void)fs->mkdir("/a");
            (void)fs->mkdir("/a/b");
            (void)fs->touch("/a/b/c");
            ASSERT_TRUE(fs->rm("/a", true).ok());
        }
        stop = true;
    });
    run_threads(2, [&](int) {
        while (!stop) {
            auto found = fs->get_inode_by_path("/a/b/../b/c");
            if (found) {
                ASSERT_EQ((*found)->name(), "c");
            } else {
                ASSERT_EQ(found.error(), IoError::InodeNotFound);
            }
            auto path = fs->get_path_by_inode(3);
            if (path) {
                ASSERT_EQ(*path, "/a/b/c");
            }
        }
    });
    rebuild.join();
}

TEST(CoreConcurrency, TwoRemovalsOfOneDirectoryHaveOneWinner) {
    auto fs = FileSystem::create();
    for (int round = 0; round < 2000; ++round) {
        ASSERT_TRUE(fs->mkdir("/d").ok());
        const std::uint64_t d = *fs->find_inode_by_name(kRootId, "d");
        std::atomic<int> wins{0};
        run_threads(2, [&](int) {
            if (fs->rm_raw(d, false).ok()) ++wins;
        });
        ASSERT_EQ(wins, 1);
    }
    EXPECT_EQ(fs->inodes().size(), 1u);
}

// Two renames that would each put the other directory inside itself: at most
// one wins, and the tree never holds a cycle or loses a node.
TEST(CoreConcurrency, CrossedRenamesNeverMakeACycle) {
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
TEST(CoreConcurrency, AFileReplacedByARenameIsNeverMissing) {
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
TEST(CoreConcurrency, RenamesRaceEverythingElse) {
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

// Runs `mine` here and `theirs` in another thread, each over and over,
// until both have run `rounds` times: however the threads are scheduled,
// they overlap for that many calls of each.
template <class Mine, class Theirs>
void side_by_side(int rounds, Mine mine, Theirs theirs) {
    std::atomic<int> done{0};
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop) {
            theirs();
            done.fetch_add(1);
        }
    });
    for (int round = 0; round < rounds || done.load() < rounds; ++round)
        mine();
    stop = true;
    other.join();
}

// The atomic replace: a file written beside its target and renamed over it.
// A removal of the temporary name racing the rename takes the temporary
// file or nothing: never the file the rename has just put at the target.
TEST(CoreConcurrency, ARemovalRacingAReplacingRenameNeverRemovesTheNewTarget) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->touch("/cfg").ok());
    int lost = 0;
    side_by_side(
        200000,
        [&] {
            lost += !fs->stat("/cfg").ok();
            if (fs->touch("/cfg.tmp").ok()) (void)fs->rename("/cfg.tmp", "/cfg");
        },
        [&] { (void)fs->rm("/cfg.tmp", false); });
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(fs->stat("/cfg").ok());
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// The same for a directory built under a temporary name and published by a
// rename: a recursive removal of the temporary name never empties the
// published directory.
TEST(CoreConcurrency, ARecursiveRemovalRacingARenameNeverEmptiesThePublishedDirectory) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/data").ok());
    int lost = 0;
    side_by_side(
        200000,
        [&] {
            if (!fs->mkdir("/staging").ok() || !fs->touch("/staging/f").ok() ||
                !fs->rename("/staging", "/data/v2").ok())
                return;
            lost += !fs->stat("/data/v2/f").ok() || !fs->rm("/data/v2", true).ok();
        },
        [&] { (void)fs->rm("/staging", true); });
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// A path that holds a directory throughout a removal, replaced meanwhile by
// renames of other empty directories over it: the removal finds a
// directory there and takes it.
TEST(CoreConcurrency, ARemovalOfAPathThatAlwaysHoldsADirectorySucceeds) {
    auto fs = FileSystem::create();
    int failed = 0, round = 0;
    side_by_side(
        200000,
        [&] {
            (void)fs->mkdir("/d");
            failed += !fs->rm("/d", ++round % 2 == 0).ok();
        },
        [&] {
            (void)fs->mkdir("/x");
            (void)fs->rename("/x", "/d");
        });
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// The outline of a directory that is there throughout never fails while the
// entries below it are renamed back and forth and made and removed; at rest
// it is the whole tree again.
TEST(CoreConcurrency, AnOutlineNeverFailsWhileEntriesBelowMoveAndGo) {
    auto fs = FileSystem::create();
    for (const char* dir : {"/a", "/a/b", "/a/b/c", "/z"})
        ASSERT_TRUE(fs->mkdir(dir).ok());
    std::vector<std::string> failures;
    side_by_side(
        20000,
        [&] {
            auto outline = fs->outline("/", "");
            if (!outline) failures.push_back(outline.error().message());
        },
        [&] {
            (void)fs->rename("/a/b", "/z/b");
            (void)fs->rename("/z/b", "/a/b");
            (void)fs->mkdir("/a/t");
            (void)fs->rm("/a/t", true);
        });
    EXPECT_EQ(failures.size(), 0u) << failures.front();
    EXPECT_EQ(*fs->outline("/", "> "), "> a/\n>   b/\n>     c/\n> z/\n");
}

}  // namespace
}  // namespace halvorn
