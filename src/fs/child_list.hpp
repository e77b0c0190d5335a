// The entries of a directory, in the order they were added.
//
// Up to eight entries live inside the directory node. A larger list moves
// to an allocation of its own and gains a hash index from name to position,
// so that finding, adding or removing a name costs the same in a directory
// of ten entries as in one of a million.
//
// Removing an entry leaves a hole that keeps the other entries' positions;
// holes are squeezed out once they make up half of the list, so removal is
// constant time on average and never reorders the survivors.
//
// The list holds node pointers. A listed node stays in the inode table until
// it has been taken off this list (removal unlinks before it deletes), so
// every pointer is valid while the directory's kind lock is held.
#pragma once

#include <cstdint>
#include <string_view>

namespace halvorn {

class INode;
class NameIndex;
class NameKey;

class ChildList {
public:
    static constexpr std::uint32_t kInline = 8;

    ChildList() : inline_{} {}
    ~ChildList();
    ChildList(const ChildList&) = delete;
    ChildList& operator=(const ChildList&) = delete;

    std::uint32_t size() const { return live_; }
    bool empty() const { return live_ == 0; }

    // Visits the entries in order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        INode* const* entries = this->entries();
        for (std::uint32_t i = 0; i < used_; ++i) {
            if (entries[i] != nullptr) visit(entries[i]);
        }
    }

    // Makes room for one more entry, so that the following push_back cannot
    // fail. Throws std::bad_alloc and leaves the list unchanged if it must.
    void reserve_one();
    // Appends `child`, whose name is `key`.
    void push_back(INode* child, const NameKey& key);
    // Takes `child` off the list; false if it was not listed.
    bool erase(const INode* child);

    // The entry whose own name is `key`, or null.
    INode* find(const NameKey& key) const;

private:
    bool is_inline() const { return capacity_ == kInline; }
    INode* const* entries() const { return is_inline() ? inline_ : heap_.entries; }
    INode** entries() { return is_inline() ? inline_ : heap_.entries; }
    std::int64_t position_of(const INode* child, const NameKey& key) const;
    void move_to_heap(std::uint32_t capacity);
    void compact();
    // Squeezes the holes out of `from` into `to` (which may be the same
    // array) and returns the new count; with an index, `moved_to` (room for
    // one number per position) renumbers it.
    std::uint32_t squeeze(INode* const* from, INode** to, std::uint32_t* moved_to);

    std::uint32_t used_ = 0;  // positions taken, holes included
    std::uint32_t live_ = 0;  // entries
    std::uint32_t capacity_ = kInline;
    union {
        INode* inline_[kInline];
        struct {
            INode** entries;
            NameIndex* index;
        } heap_;
    };
};

}  // namespace halvorn
