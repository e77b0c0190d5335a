#include "fs/file_handle.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "fs/file_system.hpp"

namespace halvorn {

using sync::WriteLock;

Result<FileHandleType> FileHandleType::from_str(std::string_view mode) {
    std::uint32_t bits = 0;
    for (char c : mode) {
        std::uint32_t flag = c == 'r' ? READ : c == 'w' ? WRITE : 0;
        if (flag == 0 || (bits & flag)) return IoError::UnrecognizedFileMode;
        bits |= flag;
    }
    return FileHandleType(bits);
}

std::string FileHandleType::to_string() const {
    if (bits_ == 0) return "FileHandleType(0x0)";
    std::string text = "FileHandleType(";
    if (can_read()) text += "READ";
    if (can_read() && can_write()) text += " | ";
    if (can_write()) text += "WRITE";
    return text + ")";
}

FileHandle::FileHandle(std::shared_ptr<FileSystem> fs, std::uint64_t id, FileHandleType type,
                       FileNode* file)
    : id_(id), type_(type), fs_(std::move(fs)), file_(file) {}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : id_(std::exchange(other.id_, std::nullopt)),
      type_(other.type_),
      fs_(std::move(other.fs_)),
      offset_(other.offset_),
      file_(std::exchange(other.file_, nullptr)) {}

FileHandle::~FileHandle() {
    if (!is_open()) return;
    try {
        (void)close();
    } catch (...) {
        // Broken lock bookkeeping; see the class comment.
    }
}

Result<FileHandle> FileHandle::create(std::shared_ptr<FileSystem> fs, std::uint64_t id,
                                      FileHandleType type) {
    auto node = fs->resolve(id);
    if (!node) return node.error();
    return attach(std::move(fs), id, **node, type);
}

FileHandle FileHandle::adopt(std::shared_ptr<FileSystem> fs, std::uint64_t id, FileNode& file,
                             FileHandleType type) {
    return FileHandle(std::move(fs), id, type, &file);
}

Result<FileHandle> FileHandle::attach(std::shared_ptr<FileSystem> fs, std::uint64_t id, INode& node,
                                      FileHandleType type) {
    if (!node.is_file()) return IoError::NotAFile;
    FileNode& file = node.as_file();
    bool taken = type.can_write() ? file.lock.try_write() : file.lock.try_read();
    // A file that a removal or a replacing rename has claimed is held by
    // nobody and on its way out of the table: for an open it is gone.
    if (!taken && file.lock.value() == FileLock::DELETING) return IoError::InodeNotFound;
    if (!taken) return IoError::ResourceCurrentInUse;
    // From here the lock keeps the node in the table; the caller's guard can go.
    return FileHandle(std::move(fs), id, type, &file);
}

Result<std::uint64_t> FileHandle::readable_at(std::uint64_t offset, std::uint64_t wanted) const {
    if (!is_open()) return IoError::InvalidFileDescriptor;
    if (!type_.can_read()) return IoError::operation_not_supported("read");
    const std::uint64_t size = file_->data.size();
    return offset >= size ? 0 : std::min<std::uint64_t>(wanted, size - offset);
}

Result<std::uint64_t> FileHandle::read_at(std::uint64_t offset,
                                          std::span<std::uint8_t> buffer) const {
    const Result<std::uint64_t> count = readable_at(offset, buffer.size());
    if (count && *count != 0) file_->data.read(offset, buffer.first(*count));
    return count;
}

Result<std::uint64_t> FileHandle::read(std::span<std::uint8_t> buffer) {
    const Result<std::uint64_t> count = read_at(offset_, buffer);
    if (count) offset_ += *count;
    return count;
}

Result<std::uint64_t> FileHandle::write_at(std::uint64_t offset,
                                           std::span<const std::uint8_t> bytes) {
    if (!is_open()) return IoError::InvalidFileDescriptor;
    if (!type_.can_write()) return IoError::operation_not_supported("write");
    // An end past what a size can count is a file no memory could hold.
    if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset)
        return IoError::NoSpaceLeft;
    WriteLock hold(file_->kind_lock());
    // A write that does not fit fails before it changes a byte; one that
    // starts past the end leaves zeros in the gap, and an empty one there
    // leaves the size as it is, as a write to a file on disk does.
    if (!bytes.empty()) {
        if (Status wrote = fs_->write_file(file_->data, offset, bytes); !wrote)
            return wrote.error();
    }
    file_->touch_modified();
    return bytes.size();
}

Result<std::uint64_t> FileHandle::write(std::span<const std::uint8_t> bytes) {
    return write_at(offset_, bytes);
}

Result<std::uint64_t> FileHandle::truncate(std::uint64_t size) {
    if (!is_open()) return IoError::InvalidFileDescriptor;
    if (!type_.can_write()) return IoError::operation_not_supported("write");
    WriteLock hold(file_->kind_lock());
    if (Status resized = fs_->resize_file(file_->data, size); !resized) return resized.error();
    file_->touch_modified();
    offset_ = std::min(offset_, size);
    return size;
}

Status FileHandle::seek(SeekOrigin origin, std::uint64_t amount) {
    if (!is_open()) return IoError::InvalidFileDescriptor;
    const std::uint64_t size = file_->data.size();
    std::uint64_t position = 0;
    switch (origin) {
        case SeekOrigin::Start:
            position = amount;
            break;
        case SeekOrigin::End:
            position = amount > size ? 0 : size - amount;
            break;
        case SeekOrigin::Current:
            position = amount > std::numeric_limits<std::uint64_t>::max() - offset_
                           ? std::numeric_limits<std::uint64_t>::max()
                           : offset_ + amount;
            break;
    }
    offset_ = std::min(position, size);
    return {};
}

Status FileHandle::close() {
    if (!is_open()) return IoError::InvalidFileDescriptor;
    if (type_.can_write())
        file_->lock.release_write();
    else
        file_->lock.release_read();
    id_.reset();
    file_ = nullptr;
    return {};
}

std::string FileHandle::to_string() const {
    std::string text = "FileHandle { id: ";
    if (id_) {
        char digits[24];
        text += "Some(";
        text.append(digits, std::to_chars(digits, digits + sizeof digits, *id_).ptr);
        text += ")";
    } else {
        text += "None";
    }
    text += ", type: " + type_.to_string() + ", fs: " + fs_->render() + ", offset: ";
    text += std::to_string(offset_);
    return text + " }";
}

}  // namespace halvorn
