#include "terminal/commands.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "terminal/terminal.hpp"

namespace halvorn::terminal {
namespace {

// The expected result of one line: its output or its error text.
struct Outcome {
    bool ok;
    std::string text;
};
Outcome out(std::string text) {
    return {true, std::move(text)};
}
Outcome err(std::string text) {
    return {false, std::move(text)};
}

struct Step {
    std::string line;
    Outcome expected;
};

class Commands : public ::testing::Test {
protected:
    // Runs the lines in order on one terminal and checks every result.
    void play(const std::vector<Step>& script) {
        for (const Step& step : script) {
            SCOPED_TRACE("line " + testing::PrintToString(step.line));
            auto result = term.run(step.line);
            ASSERT_EQ(result.ok(), step.expected.ok) << (result.ok() ? *result : result.error());
            EXPECT_EQ(result.ok() ? *result : result.error(), step.expected.text);
        }
    }
    std::uint64_t id_of(std::string_view path) {
        auto node = fs->get_inode_by_path(path);
        EXPECT_TRUE(node.ok()) << path;
        return node.ok() ? (*node)->id() : ~std::uint64_t{0};
    }
    void write(std::string_view path, std::string_view bytes) {
        auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::WRITE), true);
        ASSERT_TRUE(handle.ok());
        ASSERT_TRUE(
            handle->write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()})
                .ok());
        ASSERT_TRUE(handle->close().ok());
    }

    std::shared_ptr<FileSystem> fs = FileSystem::create();
    Terminal term{fs};
};

TEST_F(Commands, CdMovesOnlyAfterEveryCheck) {
    play({
        {"cd", err("cd: missing argument")},
        {"mkdir docs", out("")},
        {"mkdir docs/sub", out("")},
        {"touch a.txt", out("")},
        {"cd docs extra words", out("")},
        {"pwd", out("/docs")},
        {"cd nothere", err("cd: cannot access 'nothere': nothere: Inode not found")},
        {"cd /nothere", err("cd: cannot access '/nothere': nothere: Inode not found")},
        {"cd /a.txt", err("cd: /a.txt: Not a directory")},
        {"cd /docs/sub", err("cd: cannot access '/docs/sub': docs/sub: Inode not found")},
        {"pwd", out("/docs")},
        {"cd ''", out("")},
        {"cd .", out("")},
        {"cd sub", out("")},
        {"pwd", out("/docs/sub")},
        {"cd ..", out("")},
        {"pwd", out("/docs")},
        {"cd /", out("")},
        {"cd ..", out("")},
        {"pwd", out("/")},
        {"cd a.txt", err("cd: a.txt: Not a directory")},
        {"pwd x", out("/")},
    });
}

TEST_F(Commands, LsListsFilesThenDirectoriesAndNamesBadTargetsById) {
    play({
        {"ls", out("")},
        {"mkdir sub", out("")},  // id 1
        {"touch f", out("")},    // id 2
        {"ls", out("f\nsub/\n")},
        {"ls f", err("ls: 2: Not a directory")},
        {"ls nothere", err("nothere: Inode not found")},
        {"ls sub/x", err("sub/x: Inode not found")},
        {"cd sub", out("")},
        {"touch a.txt", out("")},
        {"mkdir inner", out("")},
        {"touch b", out("")},
        {"ls", out("a.txt\nb\ninner/\n")},
        {"ls ''", out("a.txt\nb\ninner/\n")},
        {"ls inner", out("")},
        {"ls / extra", out("f\nsub/\n")},
        {"ls ..", out("f\nsub/\n")},
    });
}

TEST_F(Commands, PwdGivesTheCurrentPath) {
    play({
        {"pwd", out("/")},
        {"mkdir a", out("")},
        {"mkdir /a/b", out("")},
        {"cd a", out("")},
        {"pwd", out("/a")},
        {"cd b", out("")},
        {"pwd", out("/a/b")},
    });
}

TEST_F(Commands, CatShowsTheWholeFileAsText) {
    ASSERT_TRUE(fs->mkdir("/docs").ok());
    ASSERT_TRUE(fs->touch("/empty").ok());
    write("/text", "line one\nline two\n");
    write("/docs/a", "nested");
    write("/bad",
          "a\xff"
          "b");
    write("/zeros", std::string_view("\0x\0", 3));
    play({
        {"cat", err("cat: missing argument")},
        {"cat docs", err("cat: docs: Is a directory")},
        {"cat /", err("cat: /: Is a directory")},
        {"cat nothere", err("nothere: Inode not found")},
        {"cat docs/a", err("docs/a: Inode not found")},
        {"cat empty", out("")},
        {"cat text more", out("line one\nline two\n")},
        {"cat bad", out("a\xef\xbf\xbd"
                        "b")},
        {"cat zeros", out(std::string("\0x\0", 3))},
        {"cd docs", out("")},
        {"cat a", out("nested")},
        {"cat /text", out("line one\nline two\n")},
    });
}

TEST_F(Commands, CatOfAFileOpenForWritingFailsAndLeavesItAlone) {
    auto writer = FileSystem::open(fs, "/a.txt", FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(writer.ok());
    const std::string_view text = "kept";
    ASSERT_TRUE(
        writer->write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}).ok());
    play({{"cat a.txt", err("cat: cannot access 'a.txt': Resource is currently in use")}});
    // The writer's hold is intact and still its own.
    EXPECT_TRUE(writer->seek(SeekOrigin::End, 0).ok());
    EXPECT_EQ(writer->offset(), text.size());
    ASSERT_TRUE(writer->close().ok());
    play({{"cat a.txt", out("kept")}});
    // cat let go of its shared hold: a writer gets in, and the file can go.
    auto again = FileSystem::open(fs, "/a.txt", FileHandleType(FileHandleType::WRITE), false);
    EXPECT_TRUE(again.ok());
    ASSERT_TRUE(again->close().ok());
    EXPECT_TRUE(fs->rm("/a.txt", false).ok());
}

TEST_F(Commands, CatSeesWholeWritesOnly) {
    // A writer fills the file in two halves while it holds it open; cat may
    // come before or after, but never in between.
    const std::string a(4096, 'a'), b(4096, 'b');
    write("/f", a + a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (bool use_b = true; !stop.load(); use_b = !use_b) {
            auto handle = FileSystem::open(fs, "/f", FileHandleType(FileHandleType::WRITE), false);
            if (!handle) continue;  // cat holds it just now
            const std::string& half = use_b ? b : a;
            const std::span<const std::uint8_t> bytes(
                reinterpret_cast<const std::uint8_t*>(half.data()), half.size());
            (void)handle->write(bytes);
            (void)handle->seek(SeekOrigin::Start, half.size());
            (void)handle->write(bytes);
            (void)handle->close();
            // Leave cat a chance however the threads are scheduled.
            std::this_thread::yield();
        }
    });
    int whole = 0;
    for (int i = 0; i < 200000 && whole < 100; ++i) {
        auto result = term.run("cat f");
        if (!result) {
            EXPECT_EQ(result.error(), "cat: cannot access 'f': Resource is currently in use");
        } else if (*result == a + a || *result == b + b) {
            ++whole;
        } else {
            ADD_FAILURE() << "a torn read";
            break;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(whole, 0);
}

TEST_F(Commands, CatOfAFileReplacedByRenamesReadsTheOldOrTheNewFile) {
    // The atomic replace, over and over, while cat reads the name: it finds
    // a file there every time and reads all of one of them.
    write("/cfg", "old");
    std::atomic<int> replaced{0};
    std::atomic<bool> stop{false};
    std::thread replacer([&] {
        while (!stop) {
            write("/cfg.new", "new");
            // A cat that holds the old file just now keeps it.
            if (fs->rename("/cfg.new", "/cfg").ok() || fs->rm("/cfg.new", false).ok())
                replaced.fetch_add(1);
        }
    });
    std::vector<std::string> wrong;
    for (int round = 0; round < 20000 || replaced.load() < 20000; ++round) {
        auto result = term.run("cat cfg");
        if (!result || (*result != "old" && *result != "new"))
            wrong.push_back(result ? *result : result.error());
    }
    stop = true;
    replacer.join();
    EXPECT_EQ(wrong.size(), 0u) << wrong.front();
}

TEST_F(Commands, MkdirAndTouchCreateInTheParentOfTheLastSeparator) {
    play({
        {"mkdir a", out("")},
        {"mkdir 'a\\b'", out("")},
        {"touch a/f.txt", out("")},
        {"mkdir //top", out("")},  // a parent path of "/" is the root
        {"cd a", out("")},
        {"mkdir /x", out("")},  // an empty parent path is the current directory
        {"touch '\\y'", out("")},
        {"mkdir 'my dir' ignored", out("")},
        {"ls", out("f.txt\ny\nb/\nx/\nmy dir/\n")},
        {"ls /", out("a/\ntop/\n")},
        {"mkdir /a/b/c", err("a/b: Inode not found")},
        {"touch nothere/f", err("nothere: Inode not found")},
        {"mkdir b/inner", out("")},
        {"ls b", out("inner/\n")},
    });
}

TEST_F(Commands, MkdirAndTouchFailureTexts) {
    play({
        {"mkdir d", out("")},         // id 1
        {"touch d/inside", out("")},  // id 2
        {"touch f.txt", out("")},     // id 3
    });
    struct Twin {
        std::string command;
        std::string noun;
    };
    for (const Twin& twin : {Twin{"mkdir", "directory"}, Twin{"touch", "file"}}) {
        const std::string& cmd = twin.command;
        const std::string cannot_create = cmd + ": cannot create " + twin.noun + " '";
        play({
            {cmd, err(cmd + ": missing argument")},
            {cmd + " f.txt/x", err(cmd + ": 3: Not a directory")},
            {cmd + " d/inside/x", err("d/inside: Inode not found")},
            {cmd + " f.txt", err(cannot_create + "f.txt': Resource already exists")},
            {cmd + " d", err(cannot_create + "d': Resource already exists")},
            {cmd + " /", err(cannot_create + "/': Resource already exists")},
            {cmd + " .", err(cannot_create + ".': Resource already exists")},
            {cmd + " d/", err(cannot_create + "d/': Resource already exists")},
            {cmd + " d/..", err(cannot_create + "d/..': Resource already exists")},
            {cmd + " ''", err(cannot_create + "': Resource already exists")},
        });
    }
    play({{"ls", out("f.txt\nd/\n")}, {"ls d", out("inside\n")}});
}

TEST_F(Commands, MkdirAndTouchInARemovedDirectoryNameItsId) {
    play({{"mkdir gone", out("")}, {"cd gone", out("")}});
    const std::uint64_t gone = id_of("/gone");
    ASSERT_TRUE(fs->rm("/gone", false).ok());
    const std::string id = std::to_string(gone);
    play({
        {"mkdir x", err("mkdir: cannot access '" + id + "': Inode not found")},
        {"touch x", err("touch: cannot access '" + id + "': Inode not found")},
        {"mkdir /x", err("mkdir: cannot access '" + id + "': Inode not found")},
        {"cd /", out("")},
        {"ls", out("")},
    });
}

TEST_F(Commands, HelpListsEachCommandOnceInOneFixedOrder) {
    auto first = term.run("help");
    ASSERT_TRUE(first.ok());
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t end; (end = first->find('\n', start)) != std::string::npos; start = end + 1)
        words.push_back(first->substr(start, end - start));
    EXPECT_EQ(start, first->size()) << "every line ends in a line feed";
    EXPECT_EQ(std::multiset<std::string>(words.begin(), words.end()),
              (std::multiset<std::string>{"cat", "cd", "help", "ls", "mkdir", "pwd", "touch"}));
    // Every word listed is one the terminal runs.
    for (const std::string& word : words) {
        auto result = term.run(word);
        if (!result) {
            EXPECT_NE(result.error(), word + ": command not found");
        }
    }
    Terminal other(FileSystem::create());
    play({{"help", out(*first)}, {"help me", out(*first)}});
    EXPECT_EQ(*other.run("help"), *first);
}

}  // namespace
}  // namespace halvorn::terminal
