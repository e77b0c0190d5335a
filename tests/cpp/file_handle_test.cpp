#include "fs/file_handle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

constexpr FileHandleType R(FileHandleType::READ);
constexpr FileHandleType W(FileHandleType::WRITE);
constexpr FileHandleType RW(FileHandleType::READ | FileHandleType::WRITE);
constexpr FileHandleType NONE{};

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Handles : public ::testing::Test {
protected:
    Result<FileHandle> open(std::string_view path, FileHandleType type, bool create = true) {
        return FileSystem::open(fs, path, type, create);
    }
    // A file holding `text`, closed again.
    void make_file(std::string_view path, std::string_view text) {
        auto handle = open(path, W);
        ASSERT_TRUE(handle.ok());
        ASSERT_TRUE(handle->write(bytes_of(text)).ok());
        ASSERT_TRUE(handle->close().ok());
    }
    std::string read_all(std::string_view path) {
        auto handle = open(path, R);
        std::string out(64, '\0');
        auto count = handle->read({reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
        out.resize(*count);
        return out;
    }
    std::shared_ptr<FileSystem> fs = FileSystem::create();
};

TEST(FileHandleType, ParsesExactlyTheFiveModes) {
    EXPECT_EQ(*FileHandleType::from_str(""), NONE);
    EXPECT_EQ(*FileHandleType::from_str("r"), R);
    EXPECT_EQ(*FileHandleType::from_str("w"), W);
    EXPECT_EQ(*FileHandleType::from_str("rw"), RW);
    EXPECT_EQ(*FileHandleType::from_str("wr"), RW);
    for (const char* bad : {"rr", "ww", "R", "r+", "a", "rb", " r", "rwr", "x"})
        EXPECT_EQ(FileHandleType::from_str(bad).error(), IoError::UnrecognizedFileMode) << bad;
    EXPECT_EQ(NONE.to_string(), "FileHandleType(0x0)");
    EXPECT_EQ(R.to_string(), "FileHandleType(READ)");
    EXPECT_EQ(W.to_string(), "FileHandleType(WRITE)");
    EXPECT_EQ(RW.to_string(), "FileHandleType(READ | WRITE)");
}

TEST_F(Handles, ReadersShareAndAWriterExcludesEveryone) {
    auto first = open("/f", R), second = open("/f", R);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(fs->render().find("flag: 2"), std::string::npos);
    EXPECT_EQ(open("/f", W).error(), IoError::ResourceCurrentInUse);
    EXPECT_EQ(open("/f", RW).error(), IoError::ResourceCurrentInUse);
    ASSERT_TRUE(first->close().ok());
    EXPECT_EQ(open("/f", W).error(), IoError::ResourceCurrentInUse);
    ASSERT_TRUE(second->close().ok());
    auto writer = open("/f", W);
    ASSERT_TRUE(writer.ok());
    EXPECT_NE(fs->render().find("flag: -1"), std::string::npos);
    for (FileHandleType type : {R, W, RW, NONE})
        EXPECT_EQ(open("/f", type).error(), IoError::ResourceCurrentInUse);
}

TEST_F(Handles, EmptyModeHoldsSharedAndCanOnlySeek) {
    make_file("/f", "hello");
    auto handle = open("/f", NONE);
    ASSERT_TRUE(handle.ok());
    EXPECT_EQ(open("/f", W).error(), IoError::ResourceCurrentInUse);
    std::uint8_t buffer[4];
    EXPECT_EQ(handle->read(buffer).error().message(),
              "File does not support the specified operation: read");
    EXPECT_EQ(handle->write(bytes_of("x")).error().message(),
              "File does not support the specified operation: write");
    EXPECT_TRUE(handle->seek(SeekOrigin::End, 0).ok());
    EXPECT_EQ(handle->offset(), 5u);
}

TEST_F(Handles, ReadsAdvanceAndStopAtTheEnd) {
    make_file("/f", "0123456789");
    auto handle = open("/f", R);
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    EXPECT_EQ(*handle->read(buffer), 4u);
    EXPECT_EQ(*handle->read(buffer), 4u);
    EXPECT_EQ(*handle->read(buffer), 2u);
    EXPECT_EQ(buffer[0], '8');
    EXPECT_EQ(buffer[2], '6');  // the rest of the buffer is left as it was
    EXPECT_EQ(*handle->read(buffer), 0u);
    EXPECT_EQ(*handle->readable(100), 0u);
}

TEST_F(Handles, WritesDoNotMoveTheOffsetAndGrowWithZeros) {
    make_file("/f", "0123456789");
    auto handle = open("/f", RW);
    EXPECT_EQ(*handle->write(bytes_of("abc")), 3u);
    EXPECT_EQ(handle->offset(), 0u);
    ASSERT_TRUE(handle->seek(SeekOrigin::Start, 8).ok());
    EXPECT_EQ(*handle->write(bytes_of("WXYZ!")), 5u);
    EXPECT_EQ(handle->offset(), 8u);
    ASSERT_TRUE(handle->seek(SeekOrigin::End, 0).ok());
    EXPECT_EQ(handle->offset(), 13u);
    // Past the inline room: 40 bytes written at offset 13 leave no hole.
    EXPECT_EQ(*handle->write(bytes_of(std::string(40, 'q'))), 40u);
    ASSERT_TRUE(handle->close().ok());
    std::string all = read_all("/f");
    EXPECT_EQ(all, "abc34567WXYZ!" + std::string(40, 'q'));
}

TEST_F(Handles, PositionalReadsAndWritesLeaveTheOffsetAndMayPassTheEnd) {
    make_file("/f", "0123456789");
    auto handle = open("/f", RW);
    ASSERT_TRUE(handle->seek(SeekOrigin::Start, 3).ok());
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(*handle->read_at(8, buffer), 2u);
    EXPECT_EQ(buffer[0], '8');
    EXPECT_EQ(*handle->read_at(10, buffer), 0u);
    EXPECT_EQ(*handle->readable_at(std::numeric_limits<std::uint64_t>::max(), 4), 0u);
    // Past the end, through the inline room: the gap reads back as zeros.
    EXPECT_EQ(*handle->write_at(40, bytes_of("end")), 3u);
    EXPECT_EQ(*handle->write_at(1, bytes_of("AB")), 2u);
    EXPECT_EQ(*handle->write_at(99, {}), 0u);
    EXPECT_EQ(handle->offset(), 3u);
    // An end past what a size can count changes nothing.
    EXPECT_EQ(
        handle->write_at(std::numeric_limits<std::uint64_t>::max() - 1, bytes_of("xy")).error(),
        IoError::NoSpaceLeft);
    ASSERT_TRUE(handle->close().ok());
    EXPECT_EQ(read_all("/f"), "0AB3456789" + std::string(30, '\0') + "end");
    auto reader = open("/f", R);
    EXPECT_EQ(reader->write_at(0, bytes_of("x")).error().message(),
              "File does not support the specified operation: write");
    auto nothing = open("/f", NONE);
    EXPECT_EQ(nothing->read_at(0, buffer).error().message(),
              "File does not support the specified operation: read");
}

// max_bytes counts the room contents hold (a file's size inside the node, its
// allocation outside) and the bytes of the names. A write that would pass it
// fails whole; near it, growth gives up its spare room, so that files fill
// the budget to the byte. A name that does not fit is refused as contents are.
TEST(ByteLimit, WritesFitOrFailWholeAndRemovalGivesBack) {
    auto fs = FileSystem::create(Limits{.max_bytes = 102});
    auto a = FileSystem::open(fs, "/a", RW, true);
    auto b = FileSystem::open(fs, "/b", RW, true);
    auto size_of = [](FileHandle& handle) {
        EXPECT_TRUE(handle.seek(SeekOrigin::End, 0).ok());
        const std::uint64_t size = handle.offset();
        EXPECT_TRUE(handle.seek(SeekOrigin::Start, 0).ok());
        return size;
    };
    ASSERT_TRUE(a->write(bytes_of(std::string(40, 'a'))).ok());
    EXPECT_EQ(fs->usage().bytes(), 2u + 40);  // the names, and out of the node at its size
    ASSERT_TRUE(a->write(bytes_of(std::string(50, 'b'))).ok());
    EXPECT_EQ(fs->usage().bytes(), 2u + 60);  // and half again when it grows
    EXPECT_EQ(b->write(bytes_of(std::string(41, 'c'))).error(), IoError::NoSpaceLeft);
    EXPECT_EQ(size_of(*b), 0u);
    ASSERT_TRUE(b->write(bytes_of(std::string(40, 'c'))).ok());
    EXPECT_EQ(fs->usage().bytes(), 102u);
    ASSERT_TRUE(a->write(bytes_of(std::string(60, 'd'))).ok());  // within its room
    EXPECT_EQ(a->write(bytes_of(std::string(61, 'e'))).error(), IoError::NoSpaceLeft);
    ASSERT_EQ(size_of(*a), 60u);
    std::string kept(60, '\0');
    ASSERT_EQ(*a->read({reinterpret_cast<std::uint8_t*>(kept.data()), 80}), 60u);
    EXPECT_EQ(kept, std::string(60, 'd'));
    EXPECT_EQ(FileSystem::open(fs, "/c", W, true).error(), IoError::NoSpaceLeft);
    EXPECT_EQ(fs->mkdir("/c").error(), IoError::NoSpaceLeft);
    EXPECT_EQ(testing::check_tree(*fs), "");
    ASSERT_TRUE(b->close().ok() && fs->rm("/b", false).ok());
    EXPECT_EQ(fs->usage().bytes(), 1u + 60);
    auto c = FileSystem::open(fs, "/c", W, true);
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(c->write(bytes_of(std::string(40, 'f'))).ok());
    EXPECT_EQ(c->write(bytes_of(std::string(41, 'f'))).error(), IoError::NoSpaceLeft);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// A page never written is a hole: it reads as zeros and holds nothing, so a
// byte written a terabyte out costs one page.
TEST(Pages, AFarWriteCostsOnePageAndHolesReadAsZeros) {
    constexpr std::uint64_t kFar = std::uint64_t{1} << 40;
    auto fs = FileSystem::create(Limits{.max_bytes = 1 << 20});
    auto file = FileSystem::open(fs, "/s", RW, true);
    ASSERT_TRUE(file->write_at(kFar, bytes_of("x")).ok());
    EXPECT_EQ(fs->usage().bytes(), 1 + FileData::kPageSize);
    std::uint8_t tail[4] = {9, 9, 9, 9};
    ASSERT_EQ(*file->read_at(kFar - 3, tail), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(tail, tail + 4), (std::vector<std::uint8_t>{0, 0, 0, 'x'}));
    std::vector<std::uint8_t> middle(3 * FileData::kPageSize, 9);
    ASSERT_EQ(*file->read_at(kFar / 2 - 5, middle), middle.size());
    EXPECT_EQ(std::count(middle.begin(), middle.end(), 0), static_cast<long>(middle.size()));
    ASSERT_TRUE(file->truncate(kFar).ok());
    EXPECT_EQ(fs->usage().bytes(), 1u);
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// A cut gives back every page past the new end at once, and the first page's
// memory when most of it goes; growing again shows zeros past the cut.
TEST(Pages, TruncationGivesPagesBackAtOnce) {
    constexpr std::uint64_t P = FileData::kPageSize;
    auto fs = FileSystem::create();
    auto file = FileSystem::open(fs, "/f", RW, true);
    std::vector<std::uint8_t> data(300 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i % 251 + 1);
    ASSERT_TRUE(file->write(data).ok());
    EXPECT_EQ(fs->usage().bytes(), 1 + 5 * P);
    const struct {
        std::uint64_t size, room;
    } cuts[] = {
        {200 * 1024 + 5, 4 * P},  // inside a page
        {2 * P, 2 * P},           // on a page's edge
        {P + 1, 2 * P},
        {P, P},
        {40000, P},      // inside the first page, which keeps most of its room
        {16000, 16000},  // under a quarter of it: the first page shrinks
        {33, 33},
        {32, 32},  // back inside the node
        {0, 0},
    };
    for (const auto& cut : cuts) {
        ASSERT_TRUE(file->truncate(cut.size).ok());
        EXPECT_EQ(fs->usage().bytes(), 1 + cut.room) << cut.size;
        ASSERT_TRUE(file->truncate(data.size()).ok());
        EXPECT_EQ(fs->usage().bytes(), 1 + cut.room) << cut.size;  // the growth is a hole
        std::vector<std::uint8_t> back(data.size());
        ASSERT_EQ(*file->read_at(0, back), data.size());
        std::fill(data.begin() + static_cast<long>(cut.size), data.end(), 0);
        EXPECT_EQ(back, data) << cut.size;
        ASSERT_TRUE(file->truncate(cut.size).ok());
    }
    EXPECT_EQ(testing::check_tree(*fs), "");
}

// Reads, writes and cuts at offsets around page edges, against a plain
// vector; the byte count always what the pages hold.
TEST(Pages, RandomWorkAroundPageEdgesMatchesAVector) {
    constexpr std::uint64_t P = FileData::kPageSize;
    auto fs = FileSystem::create();
    auto file = FileSystem::open(fs, "/f", RW, true);
    std::vector<std::uint8_t> oracle;
    std::mt19937_64 random(7);
    auto near_edge = [&] {
        const std::uint64_t edge = (random() % 6) * P;
        const std::uint64_t jitter = random() % 80;
        return random() % 2 ? edge + jitter : (edge > jitter ? edge - jitter : jitter);
    };
    for (int step = 0; step < 3000; ++step) {
        const std::uint64_t at = random() % 4 == 0 ? random() % (6 * P) : near_edge();
        switch (random() % 3) {
            case 0: {
                std::vector<std::uint8_t> piece(random() % 3 == 0 ? random() % (2 * P)
                                                                  : random() % 90);
                for (auto& byte : piece)
                    byte = static_cast<std::uint8_t>(random() % 255 + 1);
                ASSERT_TRUE(file->write_at(at, piece).ok());
                if (!piece.empty()) {
                    if (oracle.size() < at + piece.size()) oracle.resize(at + piece.size());
                    std::copy(piece.begin(), piece.end(), oracle.begin() + static_cast<long>(at));
                }
                break;
            }
            case 1:
                ASSERT_TRUE(file->truncate(at).ok());
                oracle.resize(at);
                break;
            default: {
                std::vector<std::uint8_t> out(random() % (2 * P));
                const std::uint64_t count = *file->read_at(at, out);
                const std::uint64_t expected =
                    at >= oracle.size() ? 0
                                        : std::min<std::uint64_t>(out.size(), oracle.size() - at);
                ASSERT_EQ(count, expected) << step;
                ASSERT_TRUE(std::equal(
                    out.begin(), out.begin() + static_cast<long>(count),
                    oracle.begin() + static_cast<long>(std::min<std::uint64_t>(at, oracle.size()))))
                    << step;
            }
        }
        ASSERT_EQ(testing::check_tree(*fs), "") << step;
    }
}

TEST_F(Handles, SeekClampsToTheFile) {
    make_file("/f", "0123456789");
    auto handle = open("/f", R);
    ASSERT_TRUE(handle->seek(SeekOrigin::Start, 100).ok());
    EXPECT_EQ(handle->offset(), 10u);
    ASSERT_TRUE(handle->seek(SeekOrigin::End, 3).ok());
    EXPECT_EQ(handle->offset(), 7u);
    ASSERT_TRUE(handle->seek(SeekOrigin::Current, 5).ok());
    EXPECT_EQ(handle->offset(), 10u);
    ASSERT_TRUE(handle->seek(SeekOrigin::End, 20).ok());
    EXPECT_EQ(handle->offset(), 0u);
    ASSERT_TRUE(handle->seek(SeekOrigin::Start, 4).ok());
    ASSERT_TRUE(handle->seek(SeekOrigin::Current, UINT64_MAX).ok());
    EXPECT_EQ(handle->offset(), 10u);
}

TEST_F(Handles, AClosedHandleRefusesEverything) {
    auto handle = open("/f", RW);
    ASSERT_TRUE(handle->close().ok());
    std::uint8_t buffer[1];
    EXPECT_EQ(handle->close().error(), IoError::InvalidFileDescriptor);
    EXPECT_EQ(handle->read(buffer).error(), IoError::InvalidFileDescriptor);
    EXPECT_EQ(handle->write(bytes_of("x")).error(), IoError::InvalidFileDescriptor);
    EXPECT_EQ(handle->seek(SeekOrigin::Start, 0).error(), IoError::InvalidFileDescriptor);
    EXPECT_EQ(handle->readable(1).error(), IoError::InvalidFileDescriptor);
    EXPECT_FALSE(handle->id().has_value());
    EXPECT_EQ(handle->to_string().rfind("FileHandle { id: None, type: FileHandleType(READ | WRITE)"
                                        ", fs: FileSystem { inodes: {",
                                        0),
              0u);
}

TEST_F(Handles, OpenResolvesTheLastNameLikeALookup) {
    ASSERT_TRUE(fs->mkdir("/d").ok());
    make_file("/f", "old");
    EXPECT_EQ(open("/d", R).error(), IoError::NotAFile);
    EXPECT_EQ(open("/d/", R).error(), IoError::NotAFile);
    EXPECT_EQ(open("/", R).error(), IoError::NotAFile);
    EXPECT_EQ(open("/missing/f", W).error(), IoError::InodeNotFound);
    EXPECT_FALSE(fs->get_inode_by_path("/missing").ok());
    EXPECT_EQ(open("/f/x", W).error(), IoError::NotADirectory);
    EXPECT_EQ(fs->ls("/")->files, std::vector<std::string>{"f"});
    for (const char* same : {"/f/", "/f/.", "\\f"}) {
        auto handle = open(same, R);
        ASSERT_TRUE(handle.ok()) << same;
        EXPECT_EQ(*handle->id(), *fs->find_inode_by_name(kRootId, "f"));
    }
    EXPECT_EQ(open("/new", R, false).error(), IoError::InodeNotFound);
    EXPECT_EQ(open("/d\\", R).error(), IoError::NotAFile);
    EXPECT_EQ(open("/bad\\", R).error(), IoError::InodeNotFound);
}

TEST_F(Handles, OpeningForWritingNeverTruncates) {
    make_file("/f", "old bytes");
    auto handle = open("/f", RW);
    ASSERT_TRUE(handle->write(bytes_of("NEW")).ok());
    std::uint8_t buffer[16];
    auto count = handle->read(buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), *count), "NEW bytes");
}

TEST_F(Handles, OpenById) {
    ASSERT_TRUE(fs->mkdir("/d").ok());
    auto dir = *fs->find_inode_by_name(kRootId, "d");
    EXPECT_EQ(FileSystem::open_raw(fs, dir, R).error(), IoError::NotAFile);
    EXPECT_EQ(FileSystem::open_raw(fs, 777, R).error(), IoError::InodeNotFound);
    auto file = *fs->create_inode(dir, "f", INodeKind::File);
    auto link = *fs->create_symlink(kRootId, "l", file);
    auto handle = FileSystem::open_raw(fs, link, W);
    ASSERT_TRUE(handle.ok());
    EXPECT_EQ(*handle->id(), link);
    EXPECT_EQ(FileSystem::open_raw(fs, file, R).error(), IoError::ResourceCurrentInUse);
}

TEST_F(Handles, DestroyingAnOpenHandleReleasesTheLockAndKeepsTheFileSystemAlive) {
    std::weak_ptr<FileSystem> alive = fs;
    {
        auto handle = open("/f", W);
        ASSERT_TRUE(handle.ok());
        fs.reset();
        EXPECT_FALSE(alive.expired());
        ASSERT_TRUE(handle->write(bytes_of("still here")).ok());
        fs = alive.lock();
    }
    EXPECT_TRUE(open("/f", W).ok());
    fs.reset();
    EXPECT_TRUE(alive.expired());
}

TEST_F(Handles, FailedOpensKeepNoShare) {
    std::weak_ptr<FileSystem> alive = fs;
    auto writer = open("/f", W);
    {
        auto refused = open("/f", R);
        ASSERT_FALSE(refused.ok());
    }
    EXPECT_EQ(alive.use_count(), 2);  // ours and the writer's
}

}  // namespace
}  // namespace halvorn
