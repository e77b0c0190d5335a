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

void FileData::resize(std::size_t size) {
    if (size >= size_) return grow_to(size);
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
    // grows again by a little does not copy every time.
    if (size < heap_.capacity / 4) {
        std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);
        std::memcpy(bytes.get(), heap_.bytes, size);
        delete[] heap_.bytes;
        heap_.bytes = bytes.release();
        heap_.capacity = size;
    }
    size_ = size;
}

}  // namespace halvorn
