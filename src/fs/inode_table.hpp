// The inode table: every node of one file system, keyed by id.
//
// Design. Sixteen shards, chosen by a keyed hash of the id; each shard is an
// open-addressing array of (id, node) slots (linear probing, backward-shift
// removal, no tombstones) behind its own RwLock. Keeping the id in the slot
// lets a probe or a rehash skip every node but the one it wants, so large
// tables do not pay a cache miss per slot looked at. The table starts with
// 256 slots in all and each shard doubles when it is three quarters full.
//
// Guards. get() holds the shard shared just long enough to find the node and
// pin it: the pin is the node's address in one of the calling thread's read
// slots (read_slots.hpp), or, when the thread has none free, a count in the
// node. Lookups therefore write only thread-local memory, and readers of one
// node never wait for each other. A guard keeps its node in memory and in
// the table's hands until it is released.
//
// Removal. remove() takes the shard exclusively, takes the node out of the
// array, lets the shard go, and then waits until no guard pins the node any
// more before it hands the node back. New lookups stop finding the node the
// moment it leaves the array; existing guards finish undisturbed.
//
// Lock order and why nothing deadlocks:
//   shard lock (held only inside get/insert/remove, never returned)
//     -> node pin (taken while the shard is held shared; never waits)
// A thread may call get, insert and remove while it holds guards on other
// nodes, and while the table grows: a shard is held only for one probe, one
// change or one copy of its ids, and a holder of a shard never waits for
// anything else. The
// only wait that can be long, remove() waiting for pins, holds no lock. A
// thread must not remove a node it has pinned itself, by slot or by count;
// that is reported as a fault instead of waiting forever.
//
// Guards are released by the thread that took them (a pin lives in that
// thread's slots).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <utility>

#include "fs/inode.hpp"
#include "fs/read_slots.hpp"
#include "fs/rw_lock.hpp"

namespace halvorn {

// Shared access to one node of the table; empty when the lookup found none.
class INodeGuard {
public:
    INodeGuard() = default;
    INodeGuard(INodeGuard&& other) noexcept
        : node_(std::exchange(other.node_, nullptr)), token_(other.token_) {}
    INodeGuard& operator=(INodeGuard&& other) noexcept {
        if (this != &other) {
            release();
            node_ = std::exchange(other.node_, nullptr);
            token_ = other.token_;
        }
        return *this;
    }
    ~INodeGuard() { release(); }

    // Pins a node that the caller keeps in the table by other means while
    // this runs: it holds the kind lock of a directory that lists the node.
    // A removal takes a node off its directory's list under that lock held
    // exclusive before it deletes the node, and releasing the directory's
    // lock publishes this pin to that remover, which then waits for it.
    static INodeGuard pin_listed(INode* node) { return pin(node); }

    // A guard on a node that stays in the table as long as the table itself
    // (the root); it pins nothing.
    static INodeGuard unpinned(INode* node) { return INodeGuard(node, kUnpinned); }

    explicit operator bool() const { return node_ != nullptr; }
    INode* get() const { return node_; }
    INode* operator->() const { return node_; }
    INode& operator*() const { return *node_; }

    void release() {
        if (node_ == nullptr) return;
        if (token_ >= 0)
            sync::ReadSlots::retract(token_);
        else if (token_ == sync::ReadSlots::kNoSlot) {
            sync::ReadSlots::forget_counted(node_);
            // Release: this holder's loads of the node are done before a
            // remover that sees the count reach 0 (acquire) frees it.
            node_->counted_guards_.fetch_sub(1, std::memory_order_release);
        }
        node_ = nullptr;
    }

private:
    friend class INodeTable;
    static constexpr int kUnpinned = -2;

    INodeGuard(INode* node, int token) : node_(node), token_(token) {}

    // The pin itself: the node's address in a read slot of this thread, or a
    // count in the node when the thread has no slot free.
    //
    // A pin needs no store-load handshake of its own, so it is a release
    // (kept for the slot's reuse, read_slots.hpp) and not seq_cst, and a
    // count a relaxed increment. It is made while the thread holds shared a
    // lock that the remover takes exclusive before it scans (the shard, or
    // the listing directory's kind lock); taking it acquires this thread's
    // release of it, so the remover's scans cannot read the slot or the
    // count as they were before the pin.
    static INodeGuard pin(INode* node) {
        int slot = sync::ReadSlots::announce(node, std::memory_order_release);
        if (slot == sync::ReadSlots::kNoSlot) {
            node->counted_guards_.fetch_add(1, std::memory_order_relaxed);
            sync::ReadSlots::note_counted(node);
        }
        return INodeGuard(node, slot);
    }

    INode* node_ = nullptr;
    int token_ = 0;  // read slot of the pin, kNoSlot when counted, or kUnpinned
};

class INodeTable {
public:
    static constexpr std::size_t kInitialSlots = 256;

    // `seed` keys the hash of ids, so the order of entries is the table's own.
    explicit INodeTable(std::uint64_t seed);
    ~INodeTable();
    INodeTable(const INodeTable&) = delete;
    INodeTable& operator=(const INodeTable&) = delete;

    INodeGuard get(std::uint64_t id) const;
    // Stores the node under its id, which must be fresh: a node already
    // stored under it stays listed by its directory, so handing it back for
    // the caller to free would leave a dangling entry. A taken id is a fault.
    void insert(INodePtr node);
    // Takes the node out and hands it back once no guard pins it; null when
    // the id is not present. Removing a node the calling thread pins itself
    // is a fault, reported with the table unchanged.
    INodePtr remove(std::uint64_t id);

    std::size_t size() const;

    // Visits every node in the table's internal order, each under a guard of
    // its own and no shard held, so the visitor may take as long as it needs
    // and use the table meanwhile; it must not remove the node it is given.
    // A node that comes or goes during the visit may be visited or not.
    void for_each(const std::function<void(const INode&)>& visit) const;

private:
    static constexpr int kShardBits = 4;
    static constexpr std::size_t kShards = std::size_t{1} << kShardBits;

    struct Slot {
        std::uint64_t id;
        INode* node;  // null: the slot is free
    };
    struct alignas(64) Shard {
        mutable sync::RwLock lock;
        std::uint32_t count = 0;
        std::uint32_t mask = 0;
        Slot* slots = nullptr;  // guarded by lock
    };

    std::uint64_t hash(std::uint64_t id) const;
    const Shard& shard_for(std::uint64_t h) const { return shards_[h >> (64 - kShardBits)]; }
    Shard& shard_for(std::uint64_t h) { return shards_[h >> (64 - kShardBits)]; }
    void grow(Shard& shard);

    const std::uint64_t seed_;
    std::array<Shard, kShards> shards_;
};

}  // namespace halvorn
