// Open files: the mode a file is opened with, where a seek counts from, and
// the handle that holds a file's lock while it is open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/result.hpp"

namespace halvorn {

class FileNode;
class FileSystem;
class INode;

// The set of access flags a handle is opened with.
class FileHandleType {
public:
    static constexpr std::uint32_t READ = 1;
    static constexpr std::uint32_t WRITE = 2;

    constexpr FileHandleType() = default;
    constexpr explicit FileHandleType(std::uint32_t bits) : bits_(bits) {}

    // Accepts exactly "", "r", "w", "rw" and "wr".
    static Result<FileHandleType> from_str(std::string_view mode);

    constexpr std::uint32_t bits() const { return bits_; }
    constexpr bool can_read() const { return bits_ & READ; }
    constexpr bool can_write() const { return bits_ & WRITE; }
    // "FileHandleType(READ | WRITE)", or "FileHandleType(0x0)" when empty.
    std::string to_string() const;

    friend constexpr bool operator==(FileHandleType, FileHandleType) = default;

private:
    std::uint32_t bits_ = 0;
};

enum class SeekOrigin : std::uint8_t { Start = 0, End = 1, Current = 2 };

// An open file. A handle takes its file's lock when it is made and keeps it
// until it is closed (or destroyed), so for as long as it is open the file
// cannot be removed; the handle therefore keeps a pointer to the file's node
// instead of looking it up on every call. It also holds a share of its file
// system, open or closed, until it is destroyed.
//
// The lock also settles who may touch the contents: while a handle is open
// with READ (or with nothing), no handle with WRITE exists, so the contents
// cannot change; a handle with WRITE is the only one there is. Reading and
// seeking therefore need no kind lock. Writing takes it exclusive, because
// the diagnostic rendering reads the contents of any file under a shared
// kind lock, handle or no handle.
//
// A handle has no synchronisation of its own: whoever shares one between
// threads serialises the calls.
class FileHandle {
public:
    // Opens the file `id` (links are followed) in `type`. The share of the
    // file system is the handle's on success and released on failure.
    static Result<FileHandle> create(std::shared_ptr<FileSystem> fs, std::uint64_t id,
                                     FileHandleType type);
    // The same for a node the caller has already found and holds a guard
    // on; `id` is the id it was found under.
    static Result<FileHandle> attach(std::shared_ptr<FileSystem> fs, std::uint64_t id, INode& node,
                                     FileHandleType type);
    // Takes over a hold of `file`'s lock that the caller has already made
    // as `type` asks (a file that was created held, see
    // FileSystem::create_held_file).
    static FileHandle adopt(std::shared_ptr<FileSystem> fs, std::uint64_t id, FileNode& file,
                            FileHandleType type);

    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&&) = delete;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    // Closes the handle if it is still open. A fault while closing cannot be
    // reported from here; callers who can report it call close() first.
    ~FileHandle();

    // Copies up to buffer.size() bytes from the offset and advances it.
    Result<std::uint64_t> read(std::span<std::uint8_t> buffer);
    // The count a read of `wanted` bytes would return now (the same checks
    // as read), so that a caller can size its buffer to what can be read.
    Result<std::uint64_t> readable(std::uint64_t wanted) const {
        return readable_at(offset_, wanted);
    }
    // Writes at the offset, growing the file as needed; the offset stays
    // where it is.
    Result<std::uint64_t> write(std::span<const std::uint8_t> bytes);

    // The same at a position of the caller's, which may lie past the end
    // (nothing to read there; a write leaves zeros in the gap). The offset
    // stays: a caller that keeps its own position, as a file object does,
    // needs no seek first and no seek's clamping to the end.
    Result<std::uint64_t> read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    Result<std::uint64_t> readable_at(std::uint64_t offset, std::uint64_t wanted) const;
    Result<std::uint64_t> write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);

    // Moves the offset, clamped to the file's size.
    Status seek(SeekOrigin origin, std::uint64_t amount);
    // Cuts the file to `size` bytes or grows it with zeros; needs WRITE. The
    // offset stays, but never past the new end. Returns the new size.
    Result<std::uint64_t> truncate(std::uint64_t size);
    Status close();

    const std::optional<std::uint64_t>& id() const { return id_; }
    bool is_open() const { return id_.has_value(); }
    FileHandleType type() const { return type_; }
    std::uint64_t offset() const { return offset_; }
    const std::shared_ptr<FileSystem>& fs() const { return fs_; }

    // "FileHandle { id: Some(7), type: FileHandleType(READ), fs: ..., offset: 0 }"
    std::string to_string() const;

private:
    FileHandle(std::shared_ptr<FileSystem> fs, std::uint64_t id, FileHandleType type,
               FileNode* file);

    std::optional<std::uint64_t> id_;
    FileHandleType type_;
    std::shared_ptr<FileSystem> fs_;
    std::uint64_t offset_ = 0;
    FileNode* file_ = nullptr;  // while open: the node this handle holds locked
};

}  // namespace halvorn
