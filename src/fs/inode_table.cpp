#include "fs/inode_table.hpp"

#include <memory>
#include <vector>

#include "error/internal_fault.hpp"
#include "fs/hashing.hpp"
#include "fs/read_slots.hpp"

namespace halvorn {

using sync::ReadLock;
using sync::ReadSlots;
using sync::WriteLock;

INodeTable::INodeTable(std::uint64_t seed) : seed_(seed) {
    constexpr std::uint32_t per_shard = kInitialSlots / kShards;
    for (Shard& shard : shards_) {
        shard.slots = new Slot[per_shard]();
        shard.mask = per_shard - 1;
    }
}

INodeTable::~INodeTable() {
    INodeDeleter destroy;
    for (Shard& shard : shards_) {
        for (std::uint32_t i = 0; i <= shard.mask; ++i) {
            if (shard.slots[i].node != nullptr) destroy(shard.slots[i].node);
        }
        delete[] shard.slots;
    }
}

std::uint64_t INodeTable::hash(std::uint64_t id) const {
    return mix64(id ^ seed_);
}

INodeGuard INodeTable::get(std::uint64_t id) const {
    const std::uint64_t h = hash(id);
    const Shard& shard = shard_for(h);
    ReadLock hold(shard.lock);
    for (std::uint32_t i = static_cast<std::uint32_t>(h) & shard.mask;; i = (i + 1) & shard.mask) {
        const Slot& slot = shard.slots[i];
        if (slot.node == nullptr) return {};
        // The shard is held, so the node cannot leave meanwhile; releasing
        // the shard afterwards publishes the pin to any later remover.
        if (slot.id == id) return INodeGuard::pin(slot.node);
    }
}

void INodeTable::insert(INodePtr node) {
    const std::uint64_t id = node->id();
    const std::uint64_t h = hash(id);
    Shard& shard = shard_for(h);
    WriteLock hold(shard.lock);
    if ((shard.count + 1) * 4 > (shard.mask + 1) * 3) grow(shard);
    for (std::uint32_t i = static_cast<std::uint32_t>(h) & shard.mask;; i = (i + 1) & shard.mask) {
        Slot& slot = shard.slots[i];
        if (slot.node == nullptr) {
            slot = {id, node.release()};
            ++shard.count;
            return;
        }
        check_invariant(slot.id != id, "an inode id is inserted twice");
    }
}

INodePtr INodeTable::remove(std::uint64_t id) {
    const std::uint64_t h = hash(id);
    Shard& shard = shard_for(h);
    INode* removed = nullptr;
    {
        WriteLock hold(shard.lock);
        std::uint32_t hole = static_cast<std::uint32_t>(h) & shard.mask;
        for (;; hole = (hole + 1) & shard.mask) {
            const Slot& slot = shard.slots[hole];
            if (slot.node == nullptr) return {};
            if (slot.id == id) break;
        }
        removed = shard.slots[hole].node;
        // The wait below would never end.
        check_invariant(!ReadSlots::held_by_this_thread(removed),
                        "a thread waits for its own read of an object to end");
        // Backward shift, as in the directory name index.
        for (std::uint32_t next = (hole + 1) & shard.mask; shard.slots[next].node != nullptr;
             next = (next + 1) & shard.mask) {
            std::uint32_t home =
                static_cast<std::uint32_t>(hash(shard.slots[next].id)) & shard.mask;
            if (((next - home) & shard.mask) >= ((next - hole) & shard.mask)) {
                shard.slots[hole] = shard.slots[next];
                hole = next;
            }
        }
        shard.slots[hole] = {0, nullptr};
        --shard.count;
    }
    // No new guard can find the node now; wait for the ones that did. Every
    // such pin was made under a lock that this thread has held exclusive
    // since (the shard, or the directory that listed the node), so no order
    // against this thread's own unlock is needed; the acquire pairs with the
    // release in INodeGuard::release().
    sync::Backoff backoff;
    while (removed->counted_guards_.load(std::memory_order_acquire) != 0)
        backoff.pause();
    ReadSlots::wait_until_unannounced(removed);
    return INodePtr(removed);
}

void INodeTable::grow(Shard& shard) {
    const std::uint32_t capacity = (shard.mask + 1) * 2;
    auto slots = std::make_unique<Slot[]>(capacity);
    const std::uint32_t mask = capacity - 1;
    for (std::uint32_t i = 0; i <= shard.mask; ++i) {
        const Slot& slot = shard.slots[i];
        if (slot.node == nullptr) continue;
        std::uint32_t j = static_cast<std::uint32_t>(hash(slot.id)) & mask;
        while (slots[j].node != nullptr)
            j = (j + 1) & mask;
        slots[j] = slot;
    }
    delete[] shard.slots;
    shard.slots = slots.release();
    shard.mask = mask;
}

std::size_t INodeTable::size() const {
    std::size_t total = 0;
    for (const Shard& shard : shards_) {
        ReadLock hold(shard.lock);
        total += shard.count;
    }
    return total;
}

void INodeTable::for_each(const std::function<void(const INode&)>& visit) const {
    std::vector<std::uint64_t> ids;
    for (const Shard& shard : shards_) {
        // Only the ids are taken under the shard, so that a long visit (the
        // rendering of a large file) keeps no insert or removal waiting.
        ids.clear();
        {
            ReadLock hold(shard.lock);
            for (std::uint32_t i = 0; i <= shard.mask; ++i) {
                if (shard.slots[i].node != nullptr) ids.push_back(shard.slots[i].id);
            }
        }
        for (std::uint64_t id : ids) {
            if (INodeGuard node = get(id)) visit(*node);
        }
    }
}

}  // namespace halvorn
