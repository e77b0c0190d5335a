#include "agentsh/streams.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "agentsh/run_context.hpp"

namespace halvorn::agentsh {

namespace {
// Waits wake up this often to see whether the run has been stopped.
constexpr auto kWakeEvery = std::chrono::milliseconds(20);
}  // namespace

std::ptrdiff_t StringSource::read(std::span<char> buffer) {
    std::size_t n = std::min(buffer.size(), data_.size() - offset_);
    std::memcpy(buffer.data(), data_.data() + offset_, n);
    offset_ += n;
    return static_cast<std::ptrdiff_t>(n);
}

bool CaptureSink::write(std::string_view bytes) {
    std::lock_guard hold(mutex_);
    if (failed_) return false;
    if (is_output_) {
        std::uint64_t total = run_.output_bytes.fetch_add(bytes.size(), std::memory_order_relaxed) +
                              bytes.size();
        if (total > run_.limits.max_output_bytes) {
            run_.limit_reached("max_output_bytes");
            failed_ = true;
            return false;
        }
    } else if (out_.size() + bytes.size() > run_.limits.max_string_bytes) {
        run_.limit_reached("max_string_bytes");
        failed_ = true;
        return false;
    }
    out_.append(bytes);
    return true;
}

bool Pipe::write(std::string_view bytes) {
    std::unique_lock hold(mutex_);
    while (!bytes.empty()) {
        if (reader_gone_.load(std::memory_order_relaxed)) return false;
        std::size_t held = buffer_.size() - start_;
        if (held >= kCapacity) {
            if (run_.stopped()) return false;
            changed_.wait_for(hold, kWakeEvery);
            continue;
        }
        if (start_ > 0 && start_ >= buffer_.size() / 2) {
            buffer_.erase(0, start_);
            start_ = 0;
        }
        std::size_t n = std::min(bytes.size(), kCapacity - held);
        buffer_.append(bytes.substr(0, n));
        bytes.remove_prefix(n);
        changed_.notify_all();
    }
    return true;
}

std::ptrdiff_t Pipe::read(std::span<char> out) {
    std::unique_lock hold(mutex_);
    for (;;) {
        std::size_t held = buffer_.size() - start_;
        if (held > 0) {
            std::size_t n = std::min(out.size(), held);
            std::memcpy(out.data(), buffer_.data() + start_, n);
            start_ += n;
            if (start_ == buffer_.size()) {
                buffer_.clear();
                start_ = 0;
            }
            changed_.notify_all();
            return static_cast<std::ptrdiff_t>(n);
        }
        if (writer_done_) return 0;
        if (run_.stopped()) return -1;
        changed_.wait_for(hold, kWakeEvery);
    }
}

void Pipe::close_writer() {
    std::lock_guard hold(mutex_);
    writer_done_ = true;
    changed_.notify_all();
}

void Pipe::close_reader() {
    std::lock_guard hold(mutex_);
    reader_gone_.store(true, std::memory_order_release);
    buffer_.clear();
    start_ = 0;
    changed_.notify_all();
}

bool FileSink::write(std::string_view bytes) {
    if (!error_.empty()) return false;
    auto written = handle_.write_at(
        offset_, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    if (!written) {
        error_ = std::string(errno_text(written.error()));
        return false;
    }
    offset_ += *written;
    return true;
}

std::string_view errno_text(const IoError& error) {
    switch (error.kind()) {
        case IoError::Kind::InodeNotFound: return "No such file or directory";
        case IoError::Kind::NotADirectory: return "Not a directory";
        case IoError::Kind::NotAFile: return "Is a directory";
        case IoError::Kind::NotASymlink: return "Invalid argument";
        case IoError::Kind::MaxRecursionDepthExceeded: return "Too many levels of symbolic links";
        case IoError::Kind::ResourceAlreadyExists: return "File exists";
        case IoError::Kind::DirectoryIsNotEmpty: return "Directory not empty";
        case IoError::Kind::ResourceCurrentInUse: return "Device or resource busy";
        case IoError::Kind::UnrecognizedFileMode: return "Invalid argument";
        case IoError::Kind::OperationNotSupported: return "Operation not supported";
        case IoError::Kind::InvalidFileDescriptor: return "Bad file descriptor";
        case IoError::Kind::MoveIntoOwnSubtree: return "Invalid argument";
        case IoError::Kind::RootCannotBeMoved: return "Device or resource busy";
        case IoError::Kind::NoSpaceLeft: return "No space left on device";
        case IoError::Kind::NoNodesLeft: return "No space left on device";
        case IoError::Kind::NameTooLong: return "File name too long";
    }
    return "Input/output error";
}

}  // namespace halvorn::agentsh
