// A file's contents. Up to 32 bytes live inside the node; a file that grows
// past that moves to an allocation of its own, and one cut back to 32 bytes
// or fewer moves back in, so the size alone tells where the bytes are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvorn {

class FileData {
public:
    static constexpr std::size_t kInline = 32;

    FileData() = default;
    ~FileData();
    FileData(const FileData&) = delete;
    FileData& operator=(const FileData&) = delete;

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return is_inline() ? inline_ : heap_.bytes; }
    std::uint8_t* data() { return is_inline() ? inline_ : heap_.bytes; }
    std::span<const std::uint8_t> bytes() const { return {data(), size_}; }

    // Grows the contents to `size` bytes, the new ones zero; never shrinks.
    // Throws std::bad_alloc, leaving the contents as they were.
    void grow_to(std::size_t size);
    // Sets the size to `size`: growing as grow_to does, or cutting the end
    // off. A file cut to a small part of its allocation moves to a smaller
    // one, so that a truncation gives its memory back. Throws
    // std::bad_alloc, leaving the contents as they were.
    void resize(std::size_t size);

private:
    bool is_inline() const { return size_ <= kInline; }

    std::uint64_t size_ = 0;
    union {
        std::uint8_t inline_[kInline] = {};
        struct {
            std::uint8_t* bytes;
            std::uint64_t capacity;
        } heap_;
    };
};

}  // namespace halvorn
