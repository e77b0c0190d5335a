// A file's contents. Up to 32 bytes live inside the node. Past that a file
// is a sequence of 64 KiB pages found through a small radix index, so that a
// file grows without moving what it holds, holds at most one partly used
// page beyond its data, and holds nothing for the pages it was never
// written: those are holes, read as zeros. The one exception is the first
// page, which is allocated no larger than its data needs (growing by half
// again, up to a whole page), so that the many small files a tree holds do
// not each take a page; its growth moves less than a page.
//
// Every byte a page holds past the end of the file is zero, so that growing
// the size, by a write past the end or by truncation, shows zeros there.
//
// Why 64 KiB: writing 512 MiB in 8 MiB and 4 KiB pieces into pages of 4, 16,
// 64 and 256 KiB took the same time within the noise (the kernel's faulting
// in of fresh memory dominates), so the size is set by the other costs. At
// 64 KiB a page is 1/16 the allocations, index entries and lookups of 4 KiB
// pages, is still served from malloc's heap rather than by a mapping of its
// own (glibc maps blocks of 128 KiB and more), and leaves at most 64 KiB
// unused per large file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvorn {

class FileData {
public:
    static constexpr std::size_t kInline = 32;
    static constexpr std::size_t kPageSize = std::size_t{1} << 16;

    FileData() = default;
    ~FileData();
    FileData(const FileData&) = delete;
    FileData& operator=(const FileData&) = delete;

    std::uint64_t size() const { return size_; }

    // The memory the contents hold: the size while the bytes live inside the
    // node, the pages allocated once they have moved out (the index is not
    // counted: a few bytes a page). This is what a file system's byte budget
    // counts, so that the budget bounds memory.
    std::uint64_t room() const;

    // The room that write(offset, bytes, spare) adds to room(): the pages it
    // touches that are holes, and the growth of the first page, which takes
    // spare room with `spare` and exactly what it needs without.
    std::uint64_t room_to_write(std::uint64_t offset, std::uint64_t count, bool spare) const;
    // Copies `bytes` in at `offset`, growing the size to its end if that is
    // past it; the bytes between the old end and `offset` read as zeros.
    // Each byte is copied once, straight into its page. Throws
    // std::bad_alloc, leaving the contents as they were.
    void write(std::uint64_t offset, std::span<const std::uint8_t> bytes, bool spare);
    // Copies the bytes from `offset` on into `out`; the caller keeps the
    // range within the size. Holes are read as zeros.
    void read(std::uint64_t offset, std::span<std::uint8_t> out) const;

    // Sets the size. Growing allocates nothing (the new bytes are a hole)
    // but when the bytes leave the node, into a first page of their size, so
    // room() stays as it was; that may throw std::bad_alloc, leaving the
    // contents as they were. Cutting gives back the pages past the new end
    // at once, and the first page's memory when most of it is cut.
    void resize(std::uint64_t size);

private:
    struct Pages;

    bool is_inline() const { return size_ <= kInline; }
    // The first page's capacity after a growth that needs `needed` bytes of it.
    static std::uint32_t first_room_for(std::uint32_t capacity, std::uint64_t needed, bool spare);
    // The bytes of the first page a write of [offset, end) needs held.
    std::uint64_t first_needed(std::uint64_t offset, std::uint64_t end) const;
    // Pages after the first that [offset, end) touches and that are holes.
    std::uint64_t holes_in(std::uint64_t offset, std::uint64_t end) const;
    // The page `index` (not the first), or null for a hole.
    const std::uint8_t* find(std::uint64_t index) const;
    // The index's slot for page `index`, made with the nodes above it.
    // Throws std::bad_alloc; nodes made before that stay, empty.
    void** make_slot(std::uint64_t index);
    // Frees every page from `first` on and the index nodes left empty.
    void free_from(std::uint64_t first) noexcept;
    // Moves the first `keep` bytes (at most kInline) back into the node and
    // frees every page.
    void move_inline(std::uint64_t keep) noexcept;

    struct Pages {
        std::uint8_t* first;  // page 0, of first_capacity bytes, or null
        void* root;           // the index of the other pages, or null
        std::uint32_t first_capacity;
        std::uint32_t height;  // levels of the index; 0 when it has no root
        std::uint64_t count;   // pages in the index
    };

    std::uint64_t size_ = 0;
    union {
        std::uint8_t inline_[kInline] = {};
        Pages pages_;
    };
};

}  // namespace halvorn
