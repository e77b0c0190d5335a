#include "fs/file_data.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace halvorn {

FileData::~FileData() {
    if (!is_inline()) delete[] heap_.bytes;
}

std::size_t FileData::room_for(std::size_t size, bool spare) const {
    if (size <= size_) return room();
    // Inside the node, or moving out of it for the first time: a file that
    // was written once rarely grows again, so it takes its size exactly.
    if (is_inline()) return size;
    if (size <= heap_.capacity) return heap_.capacity;
    return spare ? std::max<std::size_t>(size, heap_.capacity + heap_.capacity / 2) : size;
}

void FileData::grow_to(std::size_t size, bool spare) {
    if (size <= size_) return;
    if (size <= kInline) {
        // Still inline: the bytes past the old end are already zero.
        size_ = size;
        return;
    }
    if (!is_inline() && size <= heap_.capacity) {
        std::memset(heap_.bytes + size_, 0, size - size_);
        size_ = size;
        return;
    }
    const std::size_t capacity = room_for(size, spare);
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[capacity]);
    std::memcpy(bytes.get(), data(), size_);
    std::memset(bytes.get() + size_, 0, size - size_);
    if (!is_inline()) delete[] heap_.bytes;
    heap_.bytes = bytes.release();
    heap_.capacity = capacity;
    size_ = size;
}

void FileData::shrink_to(std::size_t size) noexcept {
    if (size >= size_) return;
    if (size <= kInline) {
        if (!is_inline()) {
            std::uint8_t* heap = heap_.bytes;
            std::memcpy(inline_, heap, size);
            delete[] heap;
        }
        // Inline bytes past the end stay zero, which grow_to relies on.
        std::memset(inline_ + size, 0, kInline - size);
        size_ = size;
        return;
    }
    // Cut to under a quarter of what it holds: move to an allocation of the
    // new size, so that the memory goes back but a file that shrinks and
    // grows again by a little does not copy every time. Without memory for
    // the move, the file keeps its allocation.
    if (size < heap_.capacity / 4) {
        if (auto* bytes = new (std::nothrow) std::uint8_t[size]) {
            std::memcpy(bytes, heap_.bytes, size);
            delete[] heap_.bytes;
            heap_.bytes = bytes;
            heap_.capacity = size;
        }
    }
    size_ = size;
}

}  // namespace halvorn
