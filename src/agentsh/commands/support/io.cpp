#include "agentsh/commands/support/io.hpp"

#include <span>

namespace halvorn::agentsh::cmd {

bool write_text(ByteSink& sink, std::string_view text) { return text.empty() || sink.write(text); }

std::string resolve(const CommandContext& ctx, std::string_view operand) {
    if (!operand.empty() && operand.front() == '/') return std::string(operand);
    std::string path = ctx.cwd.empty() ? std::string("/") : ctx.cwd;
    if (path.back() != '/') path += '/';
    path += operand;
    return path;
}

std::string_view error_text(const IoError& error) {
    switch (error.kind()) {
        case IoError::InodeNotFound:
            return "No such file or directory";
        case IoError::NotADirectory:
            return "Not a directory";
        case IoError::NotAFile:
            return "Is a directory";
        case IoError::NotASymlink:
            return "Invalid argument";
        case IoError::MaxRecursionDepthExceeded:
            return "File name too long";
        case IoError::ResourceAlreadyExists:
            return "File exists";
        case IoError::DirectoryIsNotEmpty:
            return "Directory not empty";
        case IoError::ResourceCurrentInUse:
            return "Device or resource busy";
        case IoError::MoveIntoOwnSubtree:
            return "Invalid argument";
        case IoError::RootCannotBeMoved:
            return "Device or resource busy";
        case IoError::NoSpaceLeft:
        case IoError::NoNodesLeft:
            return "No space left on device";
        case IoError::NameTooLong:
            return "File name too long";
        case IoError::UnrecognizedFileMode:
        case IoError::OperationNotSupported:
        case IoError::InvalidFileDescriptor:
            return "Permission denied";
    }
    return "Input/output error";
}

std::string quote(std::string_view name) {
    bool plain = !name.empty();
    bool has_single = false;
    for (unsigned char c : name) {
        if (c == '\'') has_single = true;
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c >= 0x80 ||
                          std::string_view("/._-+,:@%=").find(static_cast<char>(c)) !=
                              std::string_view::npos;
        if (!safe) plain = false;
    }
    if (plain) return std::string(name);
    if (!has_single) return "'" + std::string(name) + "'";
    return "\"" + std::string(name) + "\"";
}

void report(CommandContext& ctx, std::string_view name, std::string_view what,
            std::string_view text) {
    std::string line(name);
    line += ": ";
    if (!what.empty()) {
        line += what;
        line += ": ";
    }
    line += text;
    line += '\n';
    write_text(*ctx.err, line);
}

Result<NodeStatus> stat_operand(const CommandContext& ctx, std::string_view operand) {
    if (operand.empty()) return IoError::InodeNotFound;
    auto status = ctx.fs->stat(resolve(ctx, operand));
    if (!status) return status;
    if (operand.back() == '/' && !status->is_directory) return IoError::NotADirectory;
    return status;
}

bool Output::flush() {
    if (!ok_) {
        buffer_.clear();
        return false;
    }
    if (!buffer_.empty()) ok_ = sink_->write(buffer_);
    buffer_.clear();
    return ok_;
}

bool Input::fill() {
    if (ended_) return false;
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    const std::size_t old = buffer_.size();
    buffer_.resize(old + 64 * 1024);
    std::ptrdiff_t got = source_->read(std::span<char>(buffer_.data() + old, 64 * 1024));
    if (got <= 0) {
        buffer_.resize(old);
        ended_ = true;
        if (got < 0) failed_ = true;
        return false;
    }
    buffer_.resize(old + static_cast<std::size_t>(got));
    return true;
}

bool Input::next_line(std::string& line, char delimiter) {
    // Bytes after start_ already searched; relative, since a fill may move
    // what is left to the front of the buffer.
    std::size_t scanned = 0;
    for (;;) {
        std::size_t at = buffer_.find(delimiter, start_ + scanned);
        if (at != std::string::npos) {
            line.assign(buffer_, start_, at + 1 - start_);
            start_ = at + 1;
            return true;
        }
        scanned = buffer_.size() - start_;
        if (!fill()) break;
    }
    if (start_ >= buffer_.size()) return false;
    line.assign(buffer_, start_);
    start_ = buffer_.size();
    return true;
}

bool Input::read_all(std::string& out) {
    out.append(buffer_, start_);
    start_ = buffer_.size();
    while (fill()) {
        out.append(buffer_, start_);
        start_ = buffer_.size();
    }
    return !failed_;
}

namespace {

class BorrowedSource : public ByteSource {
public:
    explicit BorrowedSource(ByteSource* inner) : inner_(inner) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        return inner_ ? inner_->read(buffer) : 0;
    }

private:
    ByteSource* inner_;
};

class FileSource : public ByteSource {
public:
    explicit FileSource(FileHandle handle) : handle_(std::move(handle)) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        auto got = handle_.read(std::span<std::uint8_t>(
            reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()));
        return got ? static_cast<std::ptrdiff_t>(*got) : -1;
    }

private:
    FileHandle handle_;
};

class DeviceOutput : public FileOutput {
public:
    explicit DeviceOutput(ByteSink* inner) : inner_(inner) {}
    bool write(std::string_view bytes) override { return !inner_ || inner_->write(bytes); }
    std::optional<IoError> last_error() const override { return std::nullopt; }

private:
    ByteSink* inner_;
};

class FileSink : public FileOutput {
public:
    FileSink(FileHandle handle, std::uint64_t position)
        : handle_(std::move(handle)), position_(position) {}
    bool write(std::string_view bytes) override {
        if (error_) return false;
        auto wrote = handle_.write_at(
            position_, std::span<const std::uint8_t>(
                           reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (!wrote) {
            error_ = wrote.error();
            return false;
        }
        position_ += *wrote;
        return true;
    }
    std::optional<IoError> last_error() const override { return error_; }

private:
    FileHandle handle_;
    std::uint64_t position_;
    std::optional<IoError> error_;
};

std::optional<ByteSink*> device_sink(CommandContext& ctx, std::string_view path) {
    if (path == "/dev/null") return nullptr;
    if (path == "/dev/stdout" || path == "/dev/fd/1") return ctx.out;
    if (path == "/dev/stderr" || path == "/dev/fd/2") return ctx.err;
    return std::nullopt;
}

}  // namespace

Result<std::unique_ptr<ByteSource>> open_input(CommandContext& ctx, std::string_view operand) {
    if (operand == "-" || operand == "/dev/stdin" || operand == "/dev/fd/0")
        return std::unique_ptr<ByteSource>(new BorrowedSource(ctx.in));
    if (operand == "/dev/null") return std::unique_ptr<ByteSource>(new BorrowedSource(nullptr));
    auto status = stat_operand(ctx, operand);
    if (!status) return status.error();
    if (status->is_directory) return IoError::NotAFile;
    auto handle = FileSystem::open(ctx.fs, resolve(ctx, operand),
                                   FileHandleType(FileHandleType::READ), Creation::Never);
    if (!handle) return handle.error();
    return std::unique_ptr<ByteSource>(new FileSource(std::move(*handle)));
}

Result<std::unique_ptr<FileOutput>> open_output(CommandContext& ctx, std::string_view operand,
                                                bool append) {
    if (auto device = device_sink(ctx, operand))
        return std::unique_ptr<FileOutput>(new DeviceOutput(*device));
    const std::string path = resolve(ctx, operand);
    if (operand.ends_with('/')) {
        auto status = ctx.fs->stat(path);
        return status && status->is_directory ? IoError::NotAFile : IoError::NotADirectory;
    }
    auto handle =
        FileSystem::open(ctx.fs, path, FileHandleType(FileHandleType::WRITE), Creation::IfMissing);
    if (!handle) return handle.error();
    std::uint64_t position = 0;
    if (append) {
        auto status = ctx.fs->stat(path);
        if (status) position = status->size;
    } else {
        auto cut = handle->truncate(0);
        if (!cut) return cut.error();
    }
    return std::unique_ptr<FileOutput>(new FileSink(std::move(*handle), position));
}

Result<std::string> read_file(CommandContext& ctx, std::string_view operand) {
    auto source = open_input(ctx, operand);
    if (!source) return source.error();
    Input input(**source);
    std::string bytes;
    if (!input.read_all(bytes)) return IoError::InvalidFileDescriptor;
    return bytes;
}

Status write_file(CommandContext& ctx, std::string_view operand, std::string_view bytes) {
    auto sink = open_output(ctx, operand, false);
    if (!sink) return sink.error();
    if (!(*sink)->write(bytes)) {
        auto error = (*sink)->last_error();
        return error ? *error : IoError(IoError::InvalidFileDescriptor);
    }
    return {};
}

int for_each_headed_input(CommandContext& ctx, std::string_view tool,
                          std::vector<std::string>& operands, bool show, Output& out,
                          const std::function<bool(ByteSource&)>& read) {
    if (operands.empty()) operands.push_back("-");
    int status = 0;
    bool first = true;
    auto header = [&](const std::string& name) {
        if (show) out.put(std::string(first ? "" : "\n") + "==> " + name + " <==\n");
        first = false;
    };
    for (const auto& operand : operands) {
        if (stopped(ctx)) return 130;
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            if (source.error().kind() == IoError::NotAFile) {
                header(operand);
                out.flush();
                report(ctx, tool, "error reading '" + operand + "'", source.error());
            } else {
                report(ctx, tool, "cannot open '" + operand + "' for reading", source.error());
            }
            status = 1;
            continue;
        }
        header(operand == "-" ? std::string("standard input") : operand);
        if (!read(**source)) status = 1;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
