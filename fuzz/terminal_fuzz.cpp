// Runs command lines, cut from the input at NUL bytes, through one terminal
// on a small prepared file system in which one file is held open for
// writing. After every line: the reply has the shape its line calls for, the
// current directory moved only by a `cd` that succeeded, the tree holds
// together, and no lock word changed (cat lets go of what it takes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "terminal/terminal.hpp"
#include "terminal/words.hpp"

namespace halvorn::fuzzing {
namespace {

constexpr std::size_t kMaxLines = 48;
const std::set<std::string> kCommands = {"cd", "ls", "pwd", "cat", "mkdir", "touch", "help"};

struct Prepared {
    std::shared_ptr<FileSystem> fs = FileSystem::create();
    std::optional<FileHandle> busy;  // holds /docs/busy.txt for writing throughout
    std::uint64_t busy_id = 0;
};

void write_file(const std::shared_ptr<FileSystem>& fs, std::string_view path,
                std::string_view bytes) {
    auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::WRITE), true);
    require(handle.ok(), "prepare", path);
    require(handle->write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}).ok(),
            "prepare", path);
    require(handle->close().ok(), "prepare", path);
}

Prepared prepare() {
    Prepared tree;
    for (std::string_view dir : {"docs", "docs/sub", "empty", "my dir"})
        require(tree.fs->mkdir(dir).ok(), "prepare", dir);
    require(tree.fs->touch("notes.txt").ok(), "prepare");
    write_file(tree.fs, "docs/a.txt", "hello\n");
    write_file(tree.fs, "docs/sub/deep.txt", "deep");
    // Not UTF-8: cat must show U+FFFD in place of the broken sequences.
    write_file(tree.fs, "docs/b.bin",
               std::string_view("a\xff"
                                "b\xc3",
                                4));
    auto busy =
        FileSystem::open(tree.fs, "docs/busy.txt", FileHandleType(FileHandleType::WRITE), true);
    require(busy.ok() && busy->write(std::vector<std::uint8_t>{'x', 'y'}).ok(), "prepare");
    tree.busy_id = *busy->id();
    tree.busy.emplace(std::move(*busy));
    return tree;
}

// The help text of the first run; every later one must match it.
std::string& first_help() {
    static std::string text;
    return text;
}

void check_line(Prepared& tree, terminal::Terminal& term, std::string_view line) {
    const std::uint64_t cwd = term.context.cwd;
    const auto words = terminal::split_words(line);
    // The terminal keeps the command word and one argument; those must be the
    // first two words, and the line must fail or pass alike.
    auto kept = terminal::split_words(line, 2);
    if (words && words->size() > 2) {
        require(kept && std::equal(kept->begin(), kept->end(), words->begin()) && kept->size() == 2,
                "the kept words are the first ones", line);
    } else {
        require(kept == words, "the kept words are the first ones", line);
    }
    const std::string command = words && !words->empty() ? words->front() : std::string();
    // Where a cat of the held file is asked for, it must be refused.
    bool cat_of_busy = false;
    if (command == "cat" && words->size() > 1) {
        auto target = term.context.get_target_inode((*words)[1]);
        cat_of_busy = target.ok() && *target == tree.busy_id;
    }

    const terminal::TextResult reply = term.run(line);

    if (!reply) require(!reply.error().empty(), "an error has a text", line);
    if (!words) {
        require(!reply && reply.error() == "The command was not correctly formatted",
                "a malformed line", line);
    } else if (words->empty()) {
        require(reply && reply->empty(), "a line without words does nothing", line);
    } else if (!kCommands.contains(command)) {
        require(!reply && reply.error() == command + ": command not found", "unknown command",
                line);
    } else if (command == "help") {
        require(reply.ok(), "help", line);
        std::set<std::string> listed;
        std::size_t lines = 0;
        for (std::size_t at = 0; at < reply->size(); ++lines) {
            const std::size_t end = reply->find('\n', at);
            require(end != std::string::npos, "help lines end in a line feed", *reply);
            listed.insert(reply->substr(at, end - at));
            at = end + 1;
        }
        require(lines == 7 && listed == kCommands, "help lists the seven words", *reply);
        if (first_help().empty()) first_help() = *reply;
        require(*reply == first_help(), "help keeps its order", *reply);
    } else if (reply) {
        if (command == "cd" || command == "mkdir" || command == "touch")
            require(reply->empty(), "no output", line);
        if (command == "ls") require(reply->empty() || reply->ends_with('\n'), "ls lines", line);
        if (command == "pwd") {
            auto back = tree.fs->get_inode_by_path(*reply);
            require(back && (*back)->id() == cwd, "pwd leads back to the current directory",
                    *reply);
        }
    }
    if (cat_of_busy)
        require(!reply && reply.error() == "cat: cannot access '" + (*words)[1] +
                                               "': Resource is currently in use",
                "cat of a file held for writing", line);

    if (command == "cd" && reply) {
        auto is_directory = tree.fs->is_directory_raw(term.context.cwd);
        require(is_directory.ok() && *is_directory, "cd moves into a directory", line);
    } else {
        require(term.context.cwd == cwd, "only a cd that succeeds moves", line);
    }
    require_tree(*tree.fs);
    require_locks(*tree.fs, [&](std::uint64_t id) {
        return id == tree.busy_id ? FileLock::WRITE_EXCLUSIVE : std::int64_t{0};
    });
}

}  // namespace
}  // namespace halvorn::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace halvorn::fuzzing;
    Prepared tree = prepare();
    halvorn::terminal::Terminal term(tree.fs);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (std::size_t lines = 0; lines < kMaxLines && start <= input.size(); ++lines) {
        std::size_t end = std::min(input.find('\0', start), input.size());
        check_line(tree, term, input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
