#include "fs/child_list.hpp"

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
    if (used_ == capacity_) {
        // Squeeze out holes when they free enough room; grow otherwise.
        if (live_ < used_ && (is_inline() || live_ * 2 <= capacity_))
            compact();
        else
            move_to_heap(capacity_ * 2);
    }
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
    std::int64_t position = position_of(child);
    if (position < 0) return false;
    INode** slots = entries();
    slots[position] = nullptr;
    if (!is_inline())
        heap_.index->erase(static_cast<std::uint32_t>(position), NameIndex::hash(child->name()));
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

std::int64_t ChildList::position_of(const INode* child) const {
    INode* const* slots = entries();
    if (is_inline()) {
        for (std::uint32_t i = 0; i < used_; ++i) {
            if (slots[i] == child) return i;
        }
        return -1;
    }
    return heap_.index->find(NameIndex::hash(child->name()),
                             [&](std::uint32_t p) { return slots[p] == child; });
}

void ChildList::move_to_heap(std::uint32_t capacity) {
    // Allocate everything first, so that a failure leaves the list intact.
    std::unique_ptr<INode*[]> fresh(new INode*[capacity]);
    std::unique_ptr<NameIndex> new_index;
    if (is_inline()) new_index = std::make_unique<NameIndex>(kFirstIndexCapacity);

    INode* const* old = entries();
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < used_; ++i) {
        if (old[i] != nullptr) fresh[count++] = old[i];
    }
    NameIndex* index = new_index ? new_index.get() : heap_.index;
    index->clear();
    for (std::uint32_t p = 0; p < count; ++p)
        index->insert(p, NameIndex::hash(fresh[p]->name()));

    if (!is_inline()) delete[] heap_.entries;
    // The inline entries were copied above; the union can now change sides.
    heap_.entries = fresh.release();
    if (new_index) heap_.index = new_index.release();
    capacity_ = capacity;
    used_ = count;
}

void ChildList::compact() {
    INode** slots = entries();
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < used_; ++i) {
        if (slots[i] != nullptr) slots[count++] = slots[i];
    }
    for (std::uint32_t i = count; i < used_; ++i)
        slots[i] = nullptr;
    used_ = count;
    if (!is_inline()) {
        heap_.index->clear();
        for (std::uint32_t p = 0; p < count; ++p)
            heap_.index->insert(p, NameIndex::hash(slots[p]->name()));
    }
}

}  // namespace halvorn
