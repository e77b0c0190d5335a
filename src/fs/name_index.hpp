// Open-addressing hash index from a name to a position in a ChildList.
// Each slot keeps the position and 32 bits of the name's keyed hash, which
// both rejects most non-matching slots without touching the node and lets
// the index grow without hashing any name again.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "fs/hashing.hpp"

namespace halvorn {

class NameIndex {
public:
    static constexpr std::int64_t kAbsent = -1;

    static std::uint32_t hash(std::string_view name) {
        return static_cast<std::uint32_t>(siphash13(name_hash_key(), name));
    }

    // An empty index with room for `capacity` entries (a power of two).
    explicit NameIndex(std::uint32_t capacity);

    // Whether one more entry fits without growing.
    bool has_room() const { return (count_ + 1) * 4 <= (mask_ + 1) * 3; }
    // A copy of this index with twice the room.
    std::unique_ptr<NameIndex> grown() const;

    void insert(std::uint32_t position, std::uint32_t hash);
    void erase(std::uint32_t position, std::uint32_t hash);
    // Moves every entry from position p to new_position[p]; the hashes, and
    // so the slots, stay as they are.
    void renumber(const std::uint32_t* new_position);

    // The position of the first entry with this hash that `matches` accepts.
    template <class Matches>
    std::int64_t find(std::uint32_t hash, Matches&& matches) const {
        for (std::uint32_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.position_plus_one == 0) return kAbsent;
            if (slot.hash == hash && matches(slot.position_plus_one - 1))
                return slot.position_plus_one - 1;
        }
    }

private:
    struct Slot {
        std::uint32_t position_plus_one;  // 0: empty
        std::uint32_t hash;
    };

    std::unique_ptr<Slot[]> slots_;
    std::uint32_t mask_;
    std::uint32_t count_ = 0;
};

// A name being looked up or added, whose hash is computed at most once and
// only if an index asks for it (small directories have none).
class NameKey {
public:
    explicit NameKey(std::string_view name) : name_(name) {}

    std::string_view name() const { return name_; }
    std::uint32_t hash() const {
        if (!hashed_) {
            hash_ = NameIndex::hash(name_);
            hashed_ = true;
        }
        return hash_;
    }

private:
    std::string_view name_;
    mutable std::uint32_t hash_ = 0;
    mutable bool hashed_ = false;
};

}  // namespace halvorn
