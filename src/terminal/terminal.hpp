// The terminal: a current directory on one shared file system, and the run of
// a single command line against it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error/result.hpp"
#include "fs/file_system.hpp"

namespace halvorn::terminal {

// What a command line yields: its whole output, or its whole error message.
using TextResult = Result<std::string, std::string>;

// The state command handlers read and change.
struct TerminalContext {
    // The terminal keeps its file system alive, whoever else lets go of it.
    std::shared_ptr<FileSystem> fs;
    // The current directory by id, so that it stays the same directory while
    // entries elsewhere come and go. If it is removed the id goes stale and
    // lookups against it fail until a `cd /`.
    std::uint64_t cwd = kRootId;

    // The id a command's target names. A leading '/' (one only) starts the
    // lookup at the root instead of the current directory. What remains is
    // one entry name, never split further: commands reach one level, so
    // "docs/a" is a name of its own and does not reach the entry a of docs.
    // The error text is the looked-up name, ": " and the core's message.
    Result<std::uint64_t, std::string> get_target_inode(std::string_view path) const;
    // The same lookup, keeping a guard on the node found, so that later
    // steps of a command look at that node and not at whatever the id finds
    // after a rename replaced it.
    Result<FileSystem::Found, std::string> find_target(std::string_view path) const;

    // Where a target is looked up: the directory and the one name in it.
    struct Target {
        std::uint64_t dir;
        std::string_view name;
    };
    Target target_of(std::string_view path) const;
    // The error text of a failed lookup of `name` (see get_target_inode).
    static std::string lookup_error(std::string_view name, const IoError& error);
};

class Terminal {
public:
    explicit Terminal(std::shared_ptr<FileSystem> fs);

    // Runs one command line: splits it into words and calls the handler of
    // the first word with the others. The handler's text is returned exactly
    // as it came. Callers serialise runs on one terminal (a handler may move
    // the current directory).
    TextResult run(std::string_view line);

    TerminalContext context;
};

}  // namespace halvorn::terminal
