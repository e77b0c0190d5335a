// Moving an entry to another name, in the same directory or another one.
//
// A rename holds both directories' kind locks exclusive while it checks and
// while it moves, so lookups in either directory see the entry under exactly
// one name, and a replaced target and the moved entry never both or neither.
// The name and parent of the moved node change under the name lock as well,
// for readers that reach the node by other ways (a path being built).
//
// A rename between two directories also holds the rename mutex: it is what
// keeps "the moved directory is not above the target" true from the check to
// the move, and it orders the two directories' locks (see file_system.hpp).
// Within one directory nothing above anything changes and no depth either,
// so such renames go on side by side.
//
// A directory's depth is kept in each of its nodes, so moving a directory to
// another depth walks its subtree. Moving it deeper, the walk comes first,
// each node checked against the depth limit, and is undone if the move does
// not happen; moving it up, the walk comes after. Meanwhile creations below
// it are checked against the deeper of the two depths, so no node ever ends
// below the limit.
#include <optional>

#include "fs/file_system.hpp"
#include "fs/name_index.hpp"

namespace halvorn {

using sync::ReadLock;
using sync::WriteLock;

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// A hold taken only on some paths, released with the scope like the others.
class ExclusiveHold {
public:
    ExclusiveHold() = default;
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() {
        if (lock_ != nullptr) lock_->unlock();
    }
    void take(sync::RwLock& lock) {
        lock.lock();
        lock_ = &lock;
    }

private:
    sync::RwLock* lock_ = nullptr;
};

class SharedHold {
public:
    SharedHold() = default;
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() {
        if (lock_ != nullptr) lock_->unlock_shared(token_);
    }
    void take(sync::RwLock& lock) {
        token_ = lock.lock_shared();
        lock_ = &lock;
    }

private:
    sync::RwLock* lock_ = nullptr;
    sync::RwLock::ReadToken token_ = 0;
};

bool is_directory_being_removed(const INode& node) {
    return node.is_directory() && node.as_directory().removals_running != 0;
}

}  // namespace

Result<FileSystem::Place> FileSystem::place_of(std::string_view path, std::string& name) const {
    // A trailing separator names the same entry as the path without it.
    while (!path.empty() && is_separator(path.back()))
        path.remove_suffix(1);
    const SplitPath split = split_last_separator(path);
    if (split.name.empty()) return IoError::RootCannotBeMoved;
    if (split.name != "." && split.name != "..") {
        auto dir = get_inode_by_path(split.parent);
        if (!dir) return dir.error();
        return Place{std::move(*dir), split.name};
    }
    // "." and ".." name a directory by where the path goes: the entry is
    // that directory's, in the directory above it.
    auto node = get_inode_by_path(path);
    if (!node) return node.error();
    if ((*node)->id() == kRootId) return IoError::RootCannotBeMoved;
    std::uint64_t parent;
    {
        ReadLock names(names_lock_);
        name.assign((*node)->name());
        parent = (*node)->parent();
    }
    auto dir = resolve(parent);
    if (!dir) return dir.error();
    return Place{std::move(*dir), name, (*node)->id()};
}

bool FileSystem::link_name_free(const INode& link, const DirectoryNode& dir,
                                const INode* replaced) const {
    // A link is found under the name of what it leads to, whatever it is
    // called itself; that name must not find another entry where it goes.
    auto target = resolve(link.id());
    if (!target) return true;  // leads nowhere: known under no name
    std::string known;
    {
        ReadLock names(names_lock_);
        known = (*target)->name();
    }
    const INode* found = listed_child(dir, known);
    return found == nullptr || found == replaced || found == &link;
}

bool FileSystem::is_above(const INode& ancestor, const INode& node) const {
    // Directories move only under the rename mutex, which the caller holds,
    // so the chain of parents stays as it is while it is walked.
    for (std::uint64_t current = node.id();;) {
        if (current == ancestor.id()) return true;
        if (current == kRootId) return false;
        auto next = resolve(current);
        if (!next) return false;
        current = (*next)->parent();
    }
}

bool FileSystem::set_depths_below(INode& dir, bool checked) {
    // The caller holds `dir`, with its depth already set, against creations
    // in it.
    ChildIds children;
    dir.as_directory().children.for_each(
        [&](const INode* child) { children.push_back(child->id()); });
    const std::uint32_t depth = dir.depth() + 1;
    for (std::uint64_t id : children) {
        if (!set_depths(id, dir.id(), depth, checked)) return false;
    }
    return true;
}

bool FileSystem::set_depths(std::uint64_t id, std::uint64_t parent, std::uint32_t depth,
                            bool checked) {
    if (checked && depth > kMaxDepth) return false;
    INodeGuard node = inodes_.get(id);
    // Gone since the snapshot, or moved (then it was moved here from nowhere
    // the walk reaches): nothing of this subtree to set.
    if (!node || node->parent() != parent) return true;
    if (!node->is_directory()) {
        node->depth_.store(static_cast<std::uint8_t>(depth), std::memory_order_relaxed);
        return true;
    }
    // The depth and the snapshot of the children under one hold: a creation
    // in this directory either comes before, and its node is in the
    // snapshot, or after, and takes its depth from the one set here.
    ChildIds children;
    {
        ReadLock hold(node->kind_lock());
        node->depth_.store(static_cast<std::uint8_t>(depth), std::memory_order_relaxed);
        node->as_directory().children.for_each(
            [&](const INode* child) { children.push_back(child->id()); });
    }
    const std::uint64_t self = node->id();
    node.release();
    for (std::uint64_t child : children) {
        if (!set_depths(child, self, depth + 1, checked)) return false;
    }
    return true;
}

Status FileSystem::rename(std::string_view from, std::string_view to) {
    std::string from_storage, to_storage;
    auto source = place_of(from, from_storage);
    if (!source) return source.error();
    auto target = place_of(to, to_storage);
    if (!target) return target.error();
    INode& a = *source->dir;
    INode& b = *target->dir;
    if (!a.is_directory() || !b.is_directory()) return IoError::NotADirectory;

    const bool across = &a != &b;
    std::unique_lock<std::mutex> serial;
    INode* first = &a;
    INode* second = nullptr;
    if (across) {
        serial = std::unique_lock(rename_mutex_);
        // An ancestor before what lies below it, as every other thread takes
        // a directory before its children; two unrelated ones by id.
        const bool b_first = is_above(b, a) || (!is_above(a, b) && b.id() < a.id());
        first = b_first ? &b : &a;
        second = b_first ? &a : &b;
    }
    std::optional<INodeGuard> replaced;
    std::uint32_t old_depth = 0, new_depth = 0;
    std::uint64_t moved_id = 0;
    bool moved_directory = false;
    {
        WriteLock first_hold(first->kind_lock());
        ExclusiveHold second_hold;
        if (second != nullptr) second_hold.take(second->kind_lock());
        DirectoryNode& from_dir = a.as_directory();
        DirectoryNode& to_dir = b.as_directory();
        if (from_dir.removed || to_dir.removed) return IoError::InodeNotFound;
        INode* moved = listed_child(from_dir, source->name);
        if (moved == nullptr) return IoError::InodeNotFound;
        INode* existing = listed_child(to_dir, target->name);
        if (existing == moved) return {};  // one entry under both names: nothing to do
        if (!is_valid_name(target->name)) return IoError::ResourceAlreadyExists;
        if (!usage_.name_fits(target->name)) return IoError::NameTooLong;
        if (moved->is_symlink() && !link_name_free(*moved, to_dir, existing))
            return IoError::ResourceAlreadyExists;

        moved_id = moved->id();
        moved_directory = moved->is_directory();
        // The moved directory's own lock, shared: no creation, removal or
        // removal's mark changes it while it is checked and walked.
        SharedHold moved_hold;
        if (moved_directory) {
            // Before its lock: the moved directory may be the target's own
            // directory, held already.
            if (across && is_above(*moved, b)) return IoError::MoveIntoOwnSubtree;
            moved_hold.take(moved->kind_lock());
            if (moved->as_directory().removed) return IoError::InodeNotFound;
            if (is_directory_being_removed(*moved)) return IoError::ResourceCurrentInUse;
        } else if (moved->is_file() && moved->as_file().lock.value() == FileLock::DELETING) {
            return IoError::InodeNotFound;  // a removal is taking it away
        }

        ExclusiveHold existing_hold;
        if (existing != nullptr) {
            if (moved_directory && !existing->is_directory()) return IoError::NotADirectory;
            if (!moved_directory && existing->is_directory()) return IoError::NotAFile;
            // A directory above the moved entry holds it, and is not empty;
            // it is also held already, or lies between the two held ones.
            if (existing->is_directory() && across && is_above(*existing, a))
                return IoError::DirectoryIsNotEmpty;
            if (existing->is_directory()) {
                existing_hold.take(existing->kind_lock());
                // Nor one that a recursive removal is emptying: that removal
                // unlinks the directory it marked, never what replaced it.
                const DirectoryNode& dir = existing->as_directory();
                if (dir.removed || dir.removals_running != 0) return IoError::ResourceCurrentInUse;
                if (!dir.children.empty()) return IoError::DirectoryIsNotEmpty;
            } else if (existing->is_file() && existing->as_file().lock.value() != 0) {
                return IoError::ResourceCurrentInUse;  // open, or being removed
            }
        }

        // Within one directory the depth stays: the moved node is still the
        // same directory's child. A rename of that directory elsewhere may be
        // walking this subtree right now, under the rename mutex this rename
        // does not hold; it reaches the node under its new name as well, so
        // only that walk writes depths here.
        old_depth = moved->depth();
        new_depth = across ? b.depth() + 1 : old_depth;
        if (new_depth > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
        // What can fail for want of memory, before anything changes.
        InlineName new_name(target->name);
        const std::uint64_t old_name_size = moved->name().size();
        const std::uint64_t new_name_size = target->name.size();
        ByteReservation name_room(usage_, new_name_size - std::min(new_name_size, old_name_size));
        if (!name_room) return IoError::NoSpaceLeft;
        to_dir.children.reserve_one();

        // Deeper: the subtree first, each node checked, and put back as it
        // was when the move does not happen.
        const bool deepen = moved_directory && new_depth > old_depth;
        auto undo_deepen = [&] {
            moved->depth_.store(static_cast<std::uint8_t>(old_depth), std::memory_order_relaxed);
            set_depths_below(*moved, /*checked=*/false);
        };
        if (deepen) {
            moved->depth_.store(static_cast<std::uint8_t>(new_depth), std::memory_order_relaxed);
            bool fits = false;
            try {
                fits = set_depths_below(*moved, /*checked=*/true);
            } catch (...) {
                undo_deepen();
                throw;
            }
            if (!fits) {
                undo_deepen();
                return IoError::MaxRecursionDepthExceeded;
            }
        }
        // The last check that can fail, since a claim is for good: the
        // replaced file must have no handle (its word was 0 above, but a
        // handle may have opened it by id since).
        if (existing != nullptr) {
            if (existing->is_directory()) {
                existing->as_directory().removed = true;
            } else if (existing->is_file() && !existing->as_file().lock.try_delete()) {
                if (deepen) undo_deepen();
                return IoError::ResourceCurrentInUse;
            }
            to_dir.children.erase(existing);
            if (existing->is_symlink()) --to_dir.link_count;
            // Pinned while the list still holds it, for the deletion below.
            replaced.emplace(INodeGuard::pin_listed(existing));
        }

        from_dir.children.erase(moved);
        if (moved->is_symlink()) --from_dir.link_count;
        {
            WriteLock names(names_lock_);
            moved->name_.swap(new_name);
            moved->parent_.store(b.id(), std::memory_order_relaxed);
        }
        name_room.keep();
        usage_.release_bytes(old_name_size - std::min(new_name_size, old_name_size));
        to_dir.children.push_back(moved, NameKey(moved->name()));
        if (moved->is_symlink()) ++to_dir.link_count;
        from_dir.touch_modified();
        to_dir.touch_modified();
        // A file or link has no subtree; a directory moved up takes its new
        // depth now and gives its subtree theirs below.
        if (across && !deepen)
            moved->depth_.store(static_cast<std::uint8_t>(new_depth), std::memory_order_relaxed);
    }
    // Up to a shallower place, the subtree follows once the move is done;
    // still under the rename mutex, so no other rename moves part of it.
    if (moved_directory && new_depth < old_depth) {
        auto moved = inodes_.get(moved_id);
        if (moved && moved->parent() == b.id()) {
            ReadLock hold(moved->kind_lock());
            set_depths_below(*moved, /*checked=*/false);
        }
    }
    if (replaced) {
        // Off every list and claimed (a file) or marked (a directory), so no
        // one else deletes it; the table waits for the guards still on it.
        // Not under the rename mutex: a rename waiting for it may hold one
        // of them (a replaced directory as its own target's directory).
        serial = {};
        const std::uint64_t id = (*replaced)->id();
        replaced.reset();
        retire(id);
    }
    return {};
}

}  // namespace halvorn
