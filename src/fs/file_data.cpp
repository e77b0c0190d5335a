#include "fs/file_data.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

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

}  // namespace halvorn
