// What every utility needs around the tree and its streams: paths resolved
// against the shell's directory, the core's errors in the words GNU's tools
// print (strerror's), buffered output, reading lines from a stream or a file,
// and the four device names the shell knows (/dev/null, /dev/stdin,
// /dev/stdout, /dev/stderr), since nothing outside the tree exists.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agentsh/command.hpp"
#include "error/result.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh::cmd {

// The whole of `text` to `sink`; false once the sink refuses.
bool write_text(ByteSink& sink, std::string_view text);

// True once the run should stop.
inline bool stopped(const CommandContext& ctx) { return ctx.should_stop && ctx.should_stop(); }

// An absolute path for an operand: as given when absolute, else under the
// shell's directory. The core itself resolves ".", ".." and repeated '/'.
std::string resolve(const CommandContext& ctx, std::string_view operand);

// The error's text as the C library's strerror gives it for the errno the
// kernel would have set ("No such file or directory").
std::string_view error_text(const IoError& error);

// An operand the way coreutils show it in messages: bare when it is plain,
// else in shell quotes ('a b').
std::string quote(std::string_view name);

// Writes "NAME: WHAT: TEXT\n" (WHAT left out when empty).
void report(CommandContext& ctx, std::string_view name, std::string_view what,
            std::string_view text);
inline void report(CommandContext& ctx, std::string_view name, std::string_view what,
                   const IoError& error) {
    report(ctx, name, what, error_text(error));
}

// What a path names, with a trailing '/' on a file refused as the kernel
// refuses it (Not a directory).
Result<NodeStatus> stat_operand(const CommandContext& ctx, std::string_view operand);

// Output collected into large writes. Once the sink refuses, every later
// write is refused too and the utility stops.
class Output {
public:
    explicit Output(ByteSink& sink) : sink_(&sink) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { flush(); }

    bool put(std::string_view bytes) {
        buffer_.append(bytes);
        return buffer_.size() < kFlushAt || flush();
    }
    bool put(char c) {
        buffer_.push_back(c);
        return buffer_.size() < kFlushAt || flush();
    }
    bool flush();
    bool ok() const { return ok_; }

private:
    static constexpr std::size_t kFlushAt = 64 * 1024;
    ByteSink* sink_;
    std::string buffer_;
    bool ok_ = true;
};

// Bytes from a stream, taken as lines (each with its delimiter, the last
// one perhaps without) or whole.
class Input {
public:
    explicit Input(ByteSource& source) : source_(&source) {}
    // The next line into `line`, its delimiter kept; false at the end.
    bool next_line(std::string& line, char delimiter = '\n');
    // Everything left, appended to `out`; false if the stream failed.
    bool read_all(std::string& out);
    // Whether the stream failed (cancelled, or its writer broke).
    bool failed() const { return failed_; }

private:
    bool fill();
    ByteSource* source_;
    std::string buffer_;
    std::size_t start_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// A source for an operand: "-" and /dev/stdin are the command's input,
// /dev/null is empty, anything else a file of the tree read from its start.
Result<std::unique_ptr<ByteSource>> open_input(CommandContext& ctx, std::string_view operand);

// head and tail's walk over their operands ("-" when none): each opened and
// handed to `read` (false: it could not read it all), under a "==> NAME <=="
// header when `show`, with GNU's messages for what cannot be opened. Returns
// the command's status, 130 once the run should stop.
int for_each_headed_input(CommandContext& ctx, std::string_view tool,
                          std::vector<std::string>& operands, bool show, Output& out,
                          const std::function<bool(ByteSource&)>& read);

// A sink for an operand: /dev/stdout, /dev/stderr, /dev/null, or a file of
// the tree, created if missing, emptied unless `append`. A failed write
// (No space left on device) is kept and told by last_error.
class FileOutput : public ByteSink {
public:
    virtual std::optional<IoError> last_error() const = 0;
};
Result<std::unique_ptr<FileOutput>> open_output(CommandContext& ctx, std::string_view operand,
                                                bool append);

// A whole file of the tree (or device) as bytes.
Result<std::string> read_file(CommandContext& ctx, std::string_view operand);
// Replaces a file's contents with `bytes` (the file is created if missing).
Status write_file(CommandContext& ctx, std::string_view operand, std::string_view bytes);

}  // namespace halvorn::agentsh::cmd
