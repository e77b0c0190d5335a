// The shell's descriptors: one class that is both a source and a sink, so a
// descriptor table is an array of them, and the few kinds a run needs:
// nothing (/dev/null), a string to read, the run's captured output, a pipe
// between two stages, a file of the tree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "agentsh/command.hpp"
#include "fs/file_handle.hpp"

namespace halvorn::agentsh {

class RunContext;

class Stream : public ByteSource, public ByteSink {
public:
    std::ptrdiff_t read(std::span<char>) override { return -1; }
    bool write(std::string_view) override { return false; }
    // Why the last write failed, when the stream knows ("No space left on
    // device"); empty for a closed reader or a stopped run.
    virtual std::string write_error() const { return {}; }
    // A pipe whose reader has gone: the writing stage stops, as a process
    // would on SIGPIPE.
    virtual bool broken() const { return false; }
};
using StreamPtr = std::shared_ptr<Stream>;

class NullStream final : public Stream {
public:
    std::ptrdiff_t read(std::span<char>) override { return 0; }
    bool write(std::string_view) override { return true; }
};

class StringSource final : public Stream {
public:
    explicit StringSource(std::string data) : data_(std::move(data)) {}
    std::ptrdiff_t read(std::span<char> buffer) override;

private:
    std::string data_;
    std::size_t offset_ = 0;
};

// Appends to a string, counting against the run's output or string limit.
// Several stages may write to one (stderr) at once, hence the mutex.
class CaptureSink final : public Stream {
public:
    CaptureSink(std::string& out, RunContext& run, bool is_output)
        : out_(out), run_(run), is_output_(is_output) {}
    bool write(std::string_view bytes) override;

private:
    std::mutex mutex_;
    std::string& out_;  // guarded by mutex_
    RunContext& run_;
    bool is_output_;
    bool failed_ = false;
};

// A bounded buffer between two stages running at once.
class Pipe {
public:
    explicit Pipe(RunContext& run) : run_(run) {}
    static constexpr std::size_t kCapacity = 64 * 1024;

    bool write(std::string_view bytes);
    std::ptrdiff_t read(std::span<char> buffer);
    void close_writer();
    void close_reader();
    bool reader_gone() const { return reader_gone_.load(std::memory_order_acquire); }

private:
    RunContext& run_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string buffer_;      // guarded by mutex_
    std::size_t start_ = 0;   // guarded by mutex_
    bool writer_done_ = false;  // guarded by mutex_
    std::atomic<bool> reader_gone_{false};
};

class PipeWriter final : public Stream {
public:
    explicit PipeWriter(std::shared_ptr<Pipe> pipe) : pipe_(std::move(pipe)) {}
    ~PipeWriter() override { pipe_->close_writer(); }
    bool write(std::string_view bytes) override {
        if (pipe_->write(bytes)) return true;
        if (pipe_->reader_gone()) failed_.store(true, std::memory_order_release);
        return false;
    }
    // Broken once a write found the reader gone, as SIGPIPE comes only to a
    // writer: a stage that never writes runs to its end.
    bool broken() const override { return failed_.load(std::memory_order_acquire); }

private:
    std::shared_ptr<Pipe> pipe_;
    std::atomic<bool> failed_{false};
};

class PipeReader final : public Stream {
public:
    explicit PipeReader(std::shared_ptr<Pipe> pipe) : pipe_(std::move(pipe)) {}
    ~PipeReader() override { pipe_->close_reader(); }
    std::ptrdiff_t read(std::span<char> buffer) override { return pipe_->read(buffer); }

private:
    std::shared_ptr<Pipe> pipe_;
};

// A file of the tree opened for writing: every write goes through the
// core's handle, so the tree's caps hold with their own errors.
class FileSink final : public Stream {
public:
    explicit FileSink(FileHandle handle) : handle_(std::move(handle)), offset_(handle_.offset()) {}
    bool write(std::string_view bytes) override;
    std::string write_error() const override { return error_; }

private:
    FileHandle handle_;
    // The handle's writes leave its offset where it is; the sink keeps its own.
    std::uint64_t offset_;
    std::string error_;
};

// bash's words for the core's errors (strerror's texts).
std::string_view errno_text(const IoError& error);

}  // namespace halvorn::agentsh
