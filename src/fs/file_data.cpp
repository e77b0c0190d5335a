#include "fs/file_data.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace halvorn {

namespace {

constexpr std::uint64_t kPage = FileData::kPageSize;

// One node of the page index: 64 slots of 8 bytes, so that a sparse file
// pays at most half a KiB of index per level for a page it holds. A file of
// 2^64 bytes has 2^48 pages, which 8 levels of 64 slots cover.
constexpr unsigned kSlotBits = 6;
constexpr std::uint64_t kSlots = std::uint64_t{1} << kSlotBits;

struct IndexNode {
    void* slot[kSlots] = {};
};

// The pages an index of `height` levels covers, from page 0.
constexpr std::uint64_t span_of(std::uint32_t height) {
    return std::uint64_t{1} << (kSlotBits * height);
}

unsigned slot_at(std::uint64_t index, std::uint32_t level) {
    return static_cast<unsigned>((index >> (kSlotBits * (level - 1))) & (kSlots - 1));
}

// Frees the pages of `node` (at `level`, covering pages from `base`) from
// page `first` on, and the nodes below it left empty; true if it is empty.
bool prune(IndexNode* node, std::uint32_t level, std::uint64_t base, std::uint64_t first,
           std::uint64_t& freed) noexcept {
    bool kept = false;
    const std::uint64_t child_span = span_of(level - 1);
    for (std::uint64_t i = 0; i < kSlots; ++i) {
        void*& child = node->slot[i];
        if (child == nullptr) continue;
        const std::uint64_t child_base = base + i * child_span;
        if (child_base + child_span <= first) {
            kept = true;
        } else if (level == 1) {
            delete[] static_cast<std::uint8_t*>(child);
            child = nullptr;
            ++freed;
        } else if (prune(static_cast<IndexNode*>(child), level - 1, child_base, first, freed)) {
            delete static_cast<IndexNode*>(child);
            child = nullptr;
        } else {
            kept = true;
        }
    }
    return !kept;
}

}  // namespace

FileData::~FileData() {
    if (!is_inline()) move_inline(0);
}

std::uint64_t FileData::room() const {
    if (is_inline()) return size_;
    return pages_.first_capacity + pages_.count * kPage;
}

std::uint32_t FileData::first_room_for(std::uint32_t capacity, std::uint64_t needed, bool spare) {
    if (needed <= capacity) return capacity;
    // A first page made for the first time takes its size exactly: a file
    // written once rarely grows again. After that it grows by half again,
    // so that a run of appending writes moves its bytes a few times only.
    if (capacity == 0 || !spare) return static_cast<std::uint32_t>(needed);
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kPage, std::max<std::uint64_t>(needed, capacity + capacity / 2)));
}

std::uint64_t FileData::first_needed(std::uint64_t offset, std::uint64_t end) const {
    const std::uint64_t written = offset < kPage ? std::min(end, kPage) : 0;
    // Bytes that leave the node need their room in the first page too.
    return is_inline() ? std::max(written, size_) : written;
}

const std::uint8_t* FileData::find(std::uint64_t index) const {
    if (pages_.root == nullptr || index >= span_of(pages_.height)) return nullptr;
    const void* node = pages_.root;
    for (std::uint32_t level = pages_.height; level > 0 && node != nullptr; --level)
        node = static_cast<const IndexNode*>(node)->slot[slot_at(index, level)];
    return static_cast<const std::uint8_t*>(node);
}

std::uint64_t FileData::holes_in(std::uint64_t offset, std::uint64_t end) const {
    const std::uint64_t last = (end - 1) / kPage;
    std::uint64_t holes = 0;
    for (std::uint64_t index = std::max<std::uint64_t>(1, offset / kPage); index <= last; ++index)
        holes += is_inline() || find(index) == nullptr;
    return holes;
}

void** FileData::make_slot(std::uint64_t index) {
    while (index >= span_of(pages_.height)) {
        if (pages_.root != nullptr) {
            auto* top = new IndexNode;
            top->slot[0] = pages_.root;
            pages_.root = top;
        }
        ++pages_.height;
    }
    void** at = &pages_.root;
    for (std::uint32_t level = pages_.height; level > 0; --level) {
        if (*at == nullptr) *at = new IndexNode;
        at = &static_cast<IndexNode*>(*at)->slot[slot_at(index, level)];
    }
    return at;
}

void FileData::free_from(std::uint64_t first) noexcept {
    if (pages_.root == nullptr) return;
    std::uint64_t freed = 0;
    auto* root = static_cast<IndexNode*>(pages_.root);
    if (prune(root, pages_.height, 0, first, freed)) {
        delete root;
        pages_.root = nullptr;
        pages_.height = 0;
    }
    pages_.count -= freed;
}

void FileData::move_inline(std::uint64_t keep) noexcept {
    free_from(0);
    std::uint8_t* first = pages_.first;
    const std::uint64_t held = std::min<std::uint64_t>(keep, pages_.first_capacity);
    std::uint8_t bytes[kInline] = {};
    if (held != 0) std::memcpy(bytes, first, held);
    delete[] first;
    // Inline bytes past the end stay zero, which growth relies on.
    std::memcpy(inline_, bytes, kInline);
}

std::uint64_t FileData::room_to_write(std::uint64_t offset, std::uint64_t count, bool spare) const {
    if (count == 0) return 0;
    const std::uint64_t end = offset + count;
    const std::uint64_t size = std::max(size_, end);
    if (size <= kInline) return size - size_;
    const std::uint32_t capacity = is_inline() ? 0 : pages_.first_capacity;
    const std::uint64_t first = first_room_for(capacity, first_needed(offset, end), spare);
    const std::uint64_t count_after = (is_inline() ? 0 : pages_.count) + holes_in(offset, end);
    return first + count_after * kPage - room();
}

void FileData::write(std::uint64_t offset, std::span<const std::uint8_t> bytes, bool spare) {
    if (bytes.empty()) return;
    const std::uint64_t end = offset + bytes.size();
    const std::uint64_t new_size = std::max(size_, end);
    if (new_size <= kInline) {
        std::memcpy(inline_ + offset, bytes.data(), bytes.size());
        size_ = new_size;
        return;
    }

    // Everything that can fail comes first: the memory, before any change.
    const bool was_inline = is_inline();
    const std::uint32_t old_capacity = was_inline ? 0 : pages_.first_capacity;
    const std::uint32_t capacity = first_room_for(old_capacity, first_needed(offset, end), spare);
    std::unique_ptr<std::uint8_t[]> new_first;
    if (capacity > old_capacity) new_first.reset(new std::uint8_t[capacity]);
    std::vector<std::uint64_t> hole_indexes;
    std::vector<std::unique_ptr<std::uint8_t[]>> fresh;
    const std::uint64_t last = (end - 1) / kPage;
    for (std::uint64_t index = std::max<std::uint64_t>(1, offset / kPage); index <= last; ++index) {
        if (was_inline || find(index) == nullptr) hole_indexes.push_back(index);
    }
    fresh.reserve(hole_indexes.size());
    for (std::size_t i = 0; i < hole_indexes.size(); ++i)
        fresh.emplace_back(new std::uint8_t[kPage]);

    // Out of the node: its bytes wait aside until the first page is in.
    std::uint8_t saved[kInline];
    const std::uint64_t old_first_bytes = was_inline ? size_ : old_capacity;
    if (was_inline) {
        std::memcpy(saved, inline_, kInline);
        pages_ = Pages{nullptr, nullptr, 0, 0, 0};
    }
    std::vector<void**> slots;
    try {
        slots.reserve(hole_indexes.size());
        for (std::uint64_t index : hole_indexes)
            slots.push_back(make_slot(index));
    } catch (...) {
        if (was_inline) {
            free_from(0);
            std::memcpy(inline_, saved, kInline);
        }
        throw;
    }

    // From here nothing fails. The bytes the write does not cover are zeroed
    // in fresh memory, and only those: the rest is copied once, below.
    const auto zero_outside_write = [&](std::uint8_t* page, std::uint64_t page_start,
                                        std::uint64_t from, std::uint64_t to) {
        const std::uint64_t covered_from = std::clamp(offset, page_start + from, page_start + to);
        const std::uint64_t covered_to = std::clamp(end, covered_from, page_start + to);
        std::memset(page + from, 0, covered_from - page_start - from);
        std::memset(page + (covered_to - page_start), 0, page_start + to - covered_to);
    };
    if (new_first) {
        const std::uint8_t* old = was_inline ? saved : pages_.first;
        if (old_first_bytes != 0) std::memcpy(new_first.get(), old, old_first_bytes);
        zero_outside_write(new_first.get(), 0, old_first_bytes, capacity);
        if (!was_inline) delete[] pages_.first;
        pages_.first = new_first.release();
        pages_.first_capacity = capacity;
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        zero_outside_write(fresh[i].get(), hole_indexes[i] * kPage, 0, kPage);
        *slots[i] = fresh[i].release();
    }
    pages_.count += slots.size();

    const std::uint8_t* from = bytes.data();
    for (std::uint64_t at = offset; at < end;) {
        const std::uint64_t index = at / kPage;
        const std::uint64_t within = at % kPage;
        const std::uint64_t take = std::min(end - at, kPage - within);
        auto* page = index == 0 ? pages_.first : const_cast<std::uint8_t*>(find(index));
        std::memcpy(page + within, from, take);
        from += take;
        at += take;
    }
    size_ = new_size;
}

void FileData::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (out.empty()) return;
    if (is_inline()) {
        std::memcpy(out.data(), inline_ + offset, out.size());
        return;
    }
    std::uint8_t* to = out.data();
    const std::uint64_t end = offset + out.size();
    for (std::uint64_t at = offset; at < end;) {
        const std::uint64_t index = at / kPage;
        const std::uint64_t within = at % kPage;
        const std::uint64_t take = std::min(end - at, kPage - within);
        const std::uint8_t* page = index == 0 ? pages_.first : find(index);
        const std::uint64_t held = index == 0 ? pages_.first_capacity : page ? kPage : 0;
        const std::uint64_t copied = within < held ? std::min(take, held - within) : 0;
        if (copied != 0) std::memcpy(to, page + within, copied);
        std::memset(to + copied, 0, take - copied);
        to += take;
        at += take;
    }
}

void FileData::resize(std::uint64_t size) {
    if (size == size_) return;
    if (size > size_) {
        if (size > kInline && is_inline()) {
            std::uint8_t* first = nullptr;
            if (size_ != 0) {
                first = new std::uint8_t[size_];
                std::memcpy(first, inline_, size_);
            }
            pages_ = Pages{first, nullptr, static_cast<std::uint32_t>(size_), 0, 0};
        }
        size_ = size;
        return;
    }
    if (is_inline()) {
        // Inline bytes past the end stay zero, which growth relies on.
        std::memset(inline_ + size, 0, kInline - size);
        size_ = size;
        return;
    }
    if (size <= kInline) {
        move_inline(size);
        size_ = size;
        return;
    }
    free_from((size + kPage - 1) / kPage);
    const std::uint64_t index = size / kPage;
    const std::uint64_t within = size % kPage;
    if (index == 0) {
        // Cut to under a quarter of what it holds, the first page moves to an
        // allocation of the new size, so that the memory goes back but a file
        // that shrinks and grows again by a little does not move every time.
        // Without memory for the move, it keeps its allocation.
        std::uint8_t*& first = pages_.first;
        if (size < pages_.first_capacity / 4) {
            if (auto* smaller = new (std::nothrow) std::uint8_t[size]) {
                std::memcpy(smaller, first, size);
                delete[] first;
                first = smaller;
                pages_.first_capacity = static_cast<std::uint32_t>(size);
            }
        }
        if (size < pages_.first_capacity)
            std::memset(first + size, 0, pages_.first_capacity - size);
    } else if (within != 0) {
        if (auto* page = const_cast<std::uint8_t*>(find(index)))
            std::memset(page + within, 0, kPage - within);
    }
    size_ = size;
}

}  // namespace halvorn
