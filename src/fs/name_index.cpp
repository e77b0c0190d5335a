#include "fs/name_index.hpp"

namespace halvorn {

NameIndex::NameIndex(std::uint32_t capacity) : slots_(new Slot[capacity]()), mask_(capacity - 1) {}

std::unique_ptr<NameIndex> NameIndex::grown() const {
    auto bigger = std::make_unique<NameIndex>((mask_ + 1) * 2);
    for (std::uint32_t i = 0; i <= mask_; ++i) {
        if (slots_[i].position_plus_one != 0)
            bigger->insert(slots_[i].position_plus_one - 1, slots_[i].hash);
    }
    return bigger;
}

void NameIndex::insert(std::uint32_t position, std::uint32_t hash) {
    std::uint32_t i = hash & mask_;
    while (slots_[i].position_plus_one != 0)
        i = (i + 1) & mask_;
    slots_[i] = {position + 1, hash};
    ++count_;
}

void NameIndex::erase(std::uint32_t position, std::uint32_t hash) {
    std::uint32_t hole = hash & mask_;
    while (slots_[hole].position_plus_one != position + 1) {
        if (slots_[hole].position_plus_one == 0) return;
        hole = (hole + 1) & mask_;
    }
    // Backward shift: pull later entries of the same run into the hole when
    // that brings them no further from their home slot, so that no lookup
    // ever stops early at an empty slot.
    for (std::uint32_t next = (hole + 1) & mask_; slots_[next].position_plus_one != 0;
         next = (next + 1) & mask_) {
        std::uint32_t home = slots_[next].hash & mask_;
        if (((next - home) & mask_) >= ((next - hole) & mask_)) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = {0, 0};
    --count_;
}

void NameIndex::renumber(const std::uint32_t* new_position) {
    for (std::uint32_t i = 0; i <= mask_; ++i) {
        Slot& slot = slots_[i];
        if (slot.position_plus_one != 0)
            slot.position_plus_one = new_position[slot.position_plus_one - 1] + 1;
    }
}

}  // namespace halvorn
