#include "fs/child_list.hpp"

#include <algorithm>
#include <memory>

#include "fs/inode.hpp"
#include "fs/name_index.hpp"

namespace halvorn {

namespace {
// Room of a new index: enough for three times the inline list.
constexpr std::uint32_t kFirstIndexCapacity = 32;
}  // namespace

ChildList::~ChildList() {
    if (!is_inline()) {
        delete[] heap_.entries;
        delete heap_.index;
    }
}

void ChildList::reserve_one() {
    // Squeeze out holes when they free enough room; grow otherwise (also
    // when there was no scratch space to compact with).
    if (used_ == capacity_ && live_ < used_ && (is_inline() || live_ * 2 <= capacity_)) compact();
    if (used_ == capacity_) move_to_heap(capacity_ * 2);
    if (!is_inline() && !heap_.index->has_room()) {
        std::unique_ptr<NameIndex> bigger = heap_.index->grown();
        delete heap_.index;
        heap_.index = bigger.release();
    }
}

void ChildList::push_back(INode* child, const NameKey& key) {
    INode** slots = entries();
    slots[used_] = child;
    if (!is_inline()) heap_.index->insert(used_, key.hash());
    ++used_;
    ++live_;
}

bool ChildList::erase(const INode* child) {
    const NameKey key(child->name());
    std::int64_t position = position_of(child, key);
    if (position < 0) return false;
    INode** slots = entries();
    slots[position] = nullptr;
    if (!is_inline()) heap_.index->erase(static_cast<std::uint32_t>(position), key.hash());
    --live_;
    while (used_ > 0 && slots[used_ - 1] == nullptr)
        --used_;
    if (!is_inline() && live_ * 2 < used_) compact();
    return true;
}

INode* ChildList::find(const NameKey& key) const {
    const std::string_view name = key.name();
    INode* const* slots = entries();
    if (is_inline()) {
        for (std::uint32_t i = 0; i < used_; ++i) {
            if (slots[i] != nullptr && slots[i]->name() == name) return slots[i];
        }
        return nullptr;
    }
    std::int64_t position =
        heap_.index->find(key.hash(), [&](std::uint32_t p) { return slots[p]->name() == name; });
    return position < 0 ? nullptr : slots[position];
}

std::int64_t ChildList::position_of(const INode* child, const NameKey& key) const {
    INode* const* slots = entries();
    if (is_inline()) {
        for (std::uint32_t i = 0; i < used_; ++i) {
            if (slots[i] == child) return i;
        }
        return -1;
    }
    return heap_.index->find(key.hash(), [&](std::uint32_t p) { return slots[p] == child; });
}

std::uint32_t ChildList::squeeze(INode* const* from, INode** to, std::uint32_t* moved_to) {
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < used_; ++i) {
        if (from[i] == nullptr) continue;
        if (moved_to != nullptr) moved_to[i] = count;
        to[count++] = from[i];
    }
    if (moved_to != nullptr) heap_.index->renumber(moved_to);
    return count;
}

void ChildList::move_to_heap(std::uint32_t capacity) {
    // Allocate everything first, so that a failure leaves the list intact.
    std::unique_ptr<INode*[]> fresh(new INode*[capacity]);
    if (is_inline()) {
        auto index = std::make_unique<NameIndex>(kFirstIndexCapacity);
        const std::uint32_t count = squeeze(inline_, fresh.get(), nullptr);
        for (std::uint32_t p = 0; p < count; ++p)
            index->insert(p, NameIndex::hash(fresh[p]->name()));
        // The inline entries were copied; the union can now change sides.
        heap_.entries = fresh.release();
        heap_.index = index.release();
        used_ = count;
    } else if (live_ == used_) {
        // No holes: every entry keeps its position, and the index stays.
        std::copy(heap_.entries, heap_.entries + used_, fresh.get());
        delete[] heap_.entries;
        heap_.entries = fresh.release();
    } else {
        std::unique_ptr<std::uint32_t[]> moved_to(new std::uint32_t[used_]);
        used_ = squeeze(heap_.entries, fresh.get(), moved_to.get());
        delete[] heap_.entries;
        heap_.entries = fresh.release();
    }
    capacity_ = capacity;
}

void ChildList::compact() {
    std::unique_ptr<std::uint32_t[]> moved_to;
    if (!is_inline()) {
        // Compacting only saves room; when even the scratch space cannot be
        // had, the holes simply stay for now.
        moved_to.reset(new (std::nothrow) std::uint32_t[used_]);
        if (!moved_to) return;
    }
    INode** slots = entries();
    const std::uint32_t count = squeeze(slots, slots, moved_to.get());
    for (std::uint32_t i = count; i < used_; ++i)
        slots[i] = nullptr;
    used_ = count;
}

}  // namespace halvorn
