#include "terminal/terminal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "terminal/command_table.hpp"

namespace halvorn::terminal {
namespace {

const std::string kMalformed = "The command was not correctly formatted";

class TerminalRun : public ::testing::Test {
protected:
    std::uint64_t make(std::uint64_t parent, std::string_view name, INodeKind kind) {
        auto id = fs->create_inode(parent, name, kind);
        EXPECT_TRUE(id.ok()) << name;
        return id.ok() ? *id : 0;
    }
    std::string output(std::string_view line) {
        auto result = term.run(line);
        EXPECT_TRUE(result.ok()) << line << " -> " << result.error();
        return result.ok() ? *result : "";
    }
    std::string error(std::string_view line) {
        auto result = term.run(line);
        EXPECT_FALSE(result.ok()) << line << " -> " << *result;
        return result.ok() ? "" : result.error();
    }

    std::shared_ptr<FileSystem> fs = FileSystem::create();
    Terminal term{fs};
};

TEST_F(TerminalRun, LinesWithoutWordsSucceedEmpty) {
    EXPECT_EQ(term.context.cwd, kRootId);
    for (const char* line : {"", " \t \n", "# note", "   # ls /"}) {
        EXPECT_EQ(output(line), "") << line;
    }
}

TEST_F(TerminalRun, MalformedLinesRunNothingWhateverTheFirstWord) {
    for (const char* line : {"cat 'abc", "foo \"x", "ls \\", "mkdir a 'b", "'unknown"})
        EXPECT_EQ(error(line), kMalformed) << line;
    // The well-formed words before the fault did not run either.
    EXPECT_TRUE(fs->ls_raw(kRootId)->directories.empty());
}

TEST_F(TerminalRun, UnknownWordsAreNamedExactly) {
    EXPECT_EQ(error("foo"), "foo: command not found");
    EXPECT_EQ(error("LS -l"), "LS: command not found");
    // Lookups compare whole words byte for byte: no trimming, no prefixes.
    EXPECT_EQ(error("pwd\r"), "pwd\r: command not found");
    EXPECT_EQ(error("'ls '"), "ls : command not found");
    EXPECT_EQ(error("l"), "l: command not found");
    EXPECT_EQ(error("helpme"), "helpme: command not found");
    EXPECT_EQ(error("'' ls"), ": command not found");
    EXPECT_EQ(error("/ls"), "/ls: command not found");
}

TEST_F(TerminalRun, HandlersGetTheWordsAfterTheCommandAndTheirTextUnchanged) {
    const std::uint64_t dir = make(kRootId, "my dir", INodeKind::Directory);
    EXPECT_EQ(output("pwd"), "/");  // nothing appended
    for (const char* line : {"cd \"my dir\"", "cd 'my dir' extra", "cd my\\ dir"}) {
        term.context.cwd = kRootId;
        EXPECT_EQ(output(line), "") << line;
        EXPECT_EQ(term.context.cwd, dir) << line;
    }
    EXPECT_EQ(output("mkdir a#b # not an argument"), "");
    EXPECT_EQ(output("ls # list everything"), "a#b/\n");
    EXPECT_EQ(error("cd"), "cd: missing argument");
    // A failure leaves the terminal usable.
    EXPECT_EQ(output("pwd"), "/my dir");
}

TEST_F(TerminalRun, TargetsAreOneNameFromTheRootOrTheCurrentDirectory) {
    const std::uint64_t docs = make(kRootId, "docs", INodeKind::Directory);
    const std::uint64_t a = make(docs, "a", INodeKind::File);
    const std::uint64_t top = make(kRootId, "top", INodeKind::File);
    struct Case {
        std::uint64_t cwd;
        std::string path;
        Result<std::uint64_t, std::string> expected;
    };
    const Case cases[] = {
        {kRootId, "/", kRootId},
        {kRootId, "", kRootId},
        {kRootId, "..", kRootId},
        {kRootId, "/..", kRootId},
        {kRootId, "docs", docs},
        {kRootId, "/docs", docs},
        {docs, "", docs},
        {docs, ".", docs},
        {docs, "..", kRootId},
        {docs, "a", a},
        {docs, "/top", top},
        {docs, "/", kRootId},
        // Never split: the rest is looked up as one name.
        {kRootId, "docs/a", fail(std::string("docs/a: Inode not found"))},
        {kRootId, "/docs/a", fail(std::string("docs/a: Inode not found"))},
        {kRootId, "docs\\a", fail(std::string("docs\\a: Inode not found"))},
        {docs, "../top", fail(std::string("../top: Inode not found"))},
        // Only one leading '/' goes; the second is part of the name.
        {kRootId, "//docs", fail(std::string("/docs: Inode not found"))},
        {docs, "top", fail(std::string("top: Inode not found"))},
        {top, "x", fail(std::string("x: The specified INode is not a directory"))},
        {999, "", fail(std::string(": Inode not found"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " in " + std::to_string(c.cwd));
        term.context.cwd = c.cwd;
        auto got = term.context.get_target_inode(c.path);
        ASSERT_EQ(got.ok(), c.expected.ok());
        if (got.ok())
            EXPECT_EQ(*got, *c.expected);
        else
            EXPECT_EQ(got.error(), c.expected.error());
    }
}

TEST_F(TerminalRun, CurrentDirectoryRemovedElsewhereStaysStaleUntilCdRoot) {
    const std::uint64_t a = make(kRootId, "a", INodeKind::Directory);
    EXPECT_EQ(output("cd a"), "");
    ASSERT_TRUE(fs->rm_raw(a, false).ok());
    // A new entry of the same name is another directory, not the old one.
    make(kRootId, "a", INodeKind::Directory);
    const std::string id = std::to_string(a);
    EXPECT_EQ(error("pwd"), "pwd: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(error("ls"), "ls: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(error("cd .."), "cd: cannot access '..': ..: Inode not found");
    EXPECT_EQ(error("touch f"), "touch: cannot access '" + id + "': Inode not found");
    EXPECT_EQ(term.context.cwd, a);
    EXPECT_EQ(output("cd /"), "");
    EXPECT_EQ(output("pwd"), "/");
    EXPECT_EQ(output("ls"), "a/\n");
}

TEST(CommandTable, LookupsAreExactWholeWords) {
    const std::pair<const char*, CommandHandler> builtins[] = {
        {"cd", cmd_cd},       {"ls", cmd_ls},       {"pwd", cmd_pwd},   {"cat", cmd_cat},
        {"mkdir", cmd_mkdir}, {"touch", cmd_touch}, {"help", cmd_help},
    };
    EXPECT_EQ(COMMANDS->size(), 7u);
    for (const auto& [word, handler] : builtins)
        EXPECT_EQ(COMMANDS->find(word), handler) << word;
    for (const char* word : {"", "CD", "c", "cdd", " ls", "mkdir "})
        EXPECT_EQ(COMMANDS->find(word), nullptr) << word;
    EXPECT_EQ(COMMANDS->find(std::string_view("ls\0", 3)), nullptr);
}

TEST(CommandTable, OrderFollowsTheKeyAndEveryKeyFindsEveryWord) {
    const std::vector<std::string> words = {"cd", "ls", "pwd", "cat", "mkdir", "touch", "help"};
    std::set<std::vector<std::string>> orders;
    // Many keys put some words in one home slot, so probing is exercised too.
    for (int round = 0; round < 64; ++round) {
        CommandTable table(random_hash_key());
        for (const std::string& word : words)
            ASSERT_TRUE(table.insert(word, cmd_pwd));
        ASSERT_TRUE(table.insert("ls", cmd_ls));  // replaces, does not add
        EXPECT_EQ(table.size(), words.size());
        for (const std::string& word : words)
            EXPECT_EQ(table.find(word), word == "ls" ? cmd_ls : cmd_pwd) << word;
        EXPECT_EQ(table.find("rm"), nullptr);
        std::vector<std::string> order;
        table.for_each([&](const CommandTable::Entry& entry) { order.push_back(entry.word); });
        EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), words.size());
        orders.insert(order);
    }
    EXPECT_GT(orders.size(), 1u);
}

TEST(CommandTable, AFullTableRefusesNewWordsAndStillAnswers) {
    CommandTable table(random_hash_key());
    for (std::size_t i = 0; i < CommandTable::kSlots; ++i)
        ASSERT_TRUE(table.insert("w" + std::to_string(i), cmd_help));
    EXPECT_FALSE(table.insert("one more", cmd_help));
    EXPECT_TRUE(table.insert("w0", cmd_cd));
    EXPECT_EQ(table.find("w0"), cmd_cd);
    EXPECT_EQ(table.find("absent"), nullptr);
    EXPECT_EQ(table.size(), CommandTable::kSlots);
}

TEST(CommandTable, FirstUseFromManyThreadsBuildsOneTable) {
    // Each test runs in a process of its own, so this is the table's first use.
    std::vector<std::string> outputs(8);
    std::vector<std::thread> threads;
    for (std::string& out : outputs) {
        threads.emplace_back([&out] {
            Terminal term(FileSystem::create());
            auto result = term.run("help");
            if (result.ok()) out = *result;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(std::count(outputs[0].begin(), outputs[0].end(), '\n'), 7);
    for (const std::string& out : outputs)
        EXPECT_EQ(out, outputs[0]);
}

}  // namespace
}  // namespace halvorn::terminal
