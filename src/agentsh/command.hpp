// What a command of the agent shell sees: its arguments, its three streams,
// the tree and the shell's working directory, and a way to run another
// command (for xargs and find -exec). Built-in utilities (echo aside, which
// belongs to the language) are plain functions registered in one table
// (commands/registry.cpp); none starts a process or reaches the host's disk.
//
// Streams carry bytes. A pipeline's stages run at once, so a source may block
// until its writer has written or gone, and a sink's write fails once its
// reader has gone (a broken pipe) or a limit of the run is reached: a
// command stops writing then and returns; the shell knows why it stopped and
// says so itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn {
class FileSystem;
}

namespace halvorn::agentsh {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `buffer.size()` bytes; 0 only at the end of the input. A negative
    // count is a failure to read (the run was cancelled, or its input broke).
    virtual std::ptrdiff_t read(std::span<char> buffer) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all of `bytes`, or returns false: the reader is gone, a limit of
    // the run was reached or the run was cancelled. Once false, always false.
    virtual bool write(std::string_view bytes) = 0;
};

// The variables a command sees: the shell's exported ones, in the order
// `env` prints them.
using Environment = std::vector<std::pair<std::string, std::string>>;

struct CommandContext {
    // The tree every path names; commands take a share for handles.
    std::shared_ptr<FileSystem> fs;
    // The shell's working directory, absolute and normalised ("/" or "/a/b").
    std::string cwd;
    const Environment* env = nullptr;
    ByteSource* in = nullptr;
    ByteSink* out = nullptr;
    ByteSink* err = nullptr;
    // Nanoseconds since the epoch on the shell's clock (the host may fix it).
    std::int64_t now_ns = 0;
    // True once the run should stop (cancelled, or out of time): long
    // commands look at it between pieces of work and return 130 or the
    // status the shell gives them.
    std::function<bool()> should_stop;
    // Runs `argv` as a command of the shell (a utility or a shell builtin,
    // never a process) with the given streams and returns its status; 127
    // with bash's message on `err` when no such command exists.
    std::function<int(const std::vector<std::string>& argv, ByteSource& in, ByteSink& out,
                      ByteSink& err)>
        run;
};

// A utility: returns its exit status. argv[0] is the name it was called by.
using CommandFunction = int (*)(CommandContext& ctx, const std::vector<std::string>& argv);

struct CommandEntry {
    std::string_view name;
    CommandFunction function;
};

// The utility called `name`, or null.
CommandFunction find_command(std::string_view name);
// Every utility's name, sorted (for `type`, `which` and `help`).
std::span<const CommandEntry> command_table();

}  // namespace halvorn::agentsh
