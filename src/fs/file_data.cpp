#include "fs/file_data.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace halvorn {

FileData::~FileData() {
    if (!is_inline()) delete[] heap_.bytes;
}

void FileData::grow_to(std::size_t size) {
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
    // Geometric growth keeps a run of appending writes linear overall.
    std::size_t capacity = size;
    if (!is_inline()) capacity = std::max<std::size_t>(size, heap_.capacity + heap_.capacity / 2);
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[capacity]);
    std::memcpy(bytes.get(), data(), size_);
    std::memset(bytes.get() + size_, 0, size - size_);
    if (!is_inline()) delete[] heap_.bytes;
    heap_.bytes = bytes.release();
    heap_.capacity = capacity;
    size_ = size;
}

}  // namespace halvorn
