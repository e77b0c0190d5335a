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

    // The memory the contents hold: the size while the bytes live inside the
    // node, the whole allocation once they have moved out. This is what a
    // file system's byte budget counts, so that the budget bounds memory.
    std::size_t room() const { return is_inline() ? size_ : heap_.capacity; }
    // The room after a growth to `size` bytes: with `spare`, the allocation
    // a move grows to (half again, so that a run of appending writes stays
    // linear overall); without, the size itself.
    std::size_t room_for(std::size_t size, bool spare) const;

    // Grows the contents to `size` bytes, the new ones zero, into the room
    // room_for(size, spare) names; never shrinks. Throws std::bad_alloc,
    // leaving the contents as they were.
    void grow_to(std::size_t size, bool spare = true);
    // Cuts the contents to `size` bytes (no more than they hold). Cut to a
    // small part of its allocation, a file moves to a smaller one, so that a
    // truncation gives its memory back; room() says how much it holds after.
    void shrink_to(std::size_t size) noexcept;

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
