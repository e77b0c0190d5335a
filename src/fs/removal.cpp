// Removing files and directories, recursively on request.
//
// A removal that meets an entry another thread took away meanwhile (removed
// it, or renamed it out of the directory being emptied) counts that entry as
// removed and goes on: what it was asked to take away is gone either way.
// What a removal has taken hold of, a rename does not move: a claimed file,
// or a directory marked by a removal under way (see DirectoryNode).
#include "fs/file_system.hpp"
#include "fs/small_vector.hpp"

namespace halvorn {

using sync::ReadLock;
using sync::WriteLock;

// A removal's mark on a directory it is emptying: while it is set, a rename
// refuses to move the directory, so its contents are not taken away from
// under a new name. The caller holds a guard on the directory for as long as
// the mark lives.
class FileSystem::RemovalMark {
public:
    RemovalMark() = default;
    RemovalMark(const RemovalMark&) = delete;
    RemovalMark& operator=(const RemovalMark&) = delete;
    ~RemovalMark() {
        if (dir_ == nullptr) return;
        WriteLock hold(dir_->kind_lock());
        drop_locked();
    }

    // Both under the directory's exclusive kind lock.
    void set_locked(DirectoryNode& dir) {
        ++dir.removals_running;
        dir_ = &dir;
    }
    void drop_locked() {
        if (dir_ == nullptr) return;
        --dir_->removals_running;
        dir_ = nullptr;
    }

private:
    DirectoryNode* dir_ = nullptr;
};

// Files of one directory on their way out: claimed (so that no handle can
// open them and no other removal or rename take them), then unlinked and
// deleted together, under one exclusive hold of the directory instead of one
// each. A claim is for good, so the owner flushes on every way out; a flush
// takes the files off the batch before it works on them, so a second flush
// after a fault in the first touches none of them again.
class FileSystem::FileBatch {
public:
    FileBatch(FileSystem& fs, INode& dir) : fs_(fs), dir_(dir) {}
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    // Claims a file that `dir` lists; the caller holds the directory's kind
    // lock, so no rename moves the file meanwhile. False if a handle holds it
    // or another removal claimed it first (it then stays as it is).
    bool claim(INode& file) {
        // Room for the file first: a claim is for good, so a file claimed
        // and then not recorded, for want of memory, would never be
        // unlinked, and could never be opened or removed again.
        claimed_.push_back(&file);
        if (!file.as_file().lock.try_delete()) {
            claimed_.pop_back();
            return false;
        }
        // Claimed: nobody else deletes the node, so it stays in the table
        // until this batch deletes it, guard or no guard.
        return true;
    }

    void flush() {
        if (claimed_.empty()) return;
        Claimed taken;
        taken.swap(claimed_);
        {
            WriteLock hold(dir_.kind_lock());
            for (INode* file : taken)
                dir_.as_directory().children.erase(file);
            dir_.touch_modified();
        }
        for (INode* file : taken)
            fs_.retire(file->id());
    }

private:
    using Claimed = SmallVector<INode*, ChildList::kInline>;
    FileSystem& fs_;
    INode& dir_;  // held by the caller's guard throughout
    Claimed claimed_;
};

Status FileSystem::rm(std::string_view path, bool recurse) {
    auto node = get_inode_by_path(path);
    if (!node) return node.error();
    return remove_found(std::move(*node), recurse);
}

Status FileSystem::rm_raw(std::uint64_t id, bool recurse) {
    auto node = resolve(id);
    if (!node) return node.error();
    return remove_found(std::move(*node), recurse);
}

Status FileSystem::remove_found(INodeGuard node, bool recurse) {
    RemovalMark mark;
    if (node->is_directory() && recurse) {
        // Take a snapshot of the children and let the directory go: the
        // contents are removed with nothing held, so that others may list,
        // open and create in it meanwhile.
        ChildIds children;
        {
            WriteLock hold(node->kind_lock());
            DirectoryNode& dir = node->as_directory();
            if (dir.removed) return IoError::InodeNotFound;
            dir.children.for_each([&](const INode* child) { children.push_back(child->id()); });
            if (node->id() != kRootId) mark.set_locked(dir);
        }
        Status emptied = remove_children(*node, children, 0);
        if (!emptied) return emptied;
    }
    // The root stays: removing it removes only what it holds.
    if (node->id() == kRootId) {
        if (recurse) return {};
        ReadLock hold(node->kind_lock());
        if (!node->as_directory().children.empty()) return IoError::DirectoryIsNotEmpty;
        return {};
    }
    return unlink_and_delete(std::move(node), nullptr, &mark);
}

Status FileSystem::remove_children(INode& dir, const ChildIds& children, std::uint32_t level) {
    // Without links a tree is at most kMaxDepth deep, and the recursion
    // never follows one; this is the bound should that ever change.
    if (level > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
    FileBatch files(*this, dir);
    // Depth first; the first failure ends the whole removal, and what was
    // removed before it stays removed.
    auto remove_each = [&]() -> Status {
        for (std::uint64_t id : children) {
            // The entry itself, not what it leads to: a link inside the tree
            // goes as an entry, and whatever it leads to stays where it is.
            INodeGuard child;
            ChildIds grandchildren;
            RemovalMark mark;
            {
                // Under the directory's lock no rename moves the entry in or
                // out, so finding it listed here and taking hold of it are
                // one step.
                ReadLock hold(dir.kind_lock());
                child = inodes_.get(id);
                if (!child || child->parent() != dir.id()) continue;  // gone, or moved away
                if (child->is_file()) {
                    if (files.claim(*child)) continue;
                    if (child->as_file().lock.value() == FileLock::DELETING) continue;
                    return IoError::ResourceCurrentInUse;
                }
                if (child->is_directory()) {
                    WriteLock child_hold(child->kind_lock());
                    DirectoryNode& subdir = child->as_directory();
                    if (subdir.removed) continue;  // another removal took it
                    subdir.children.for_each(
                        [&](const INode* entry) { grandchildren.push_back(entry->id()); });
                    mark.set_locked(subdir);
                }
            }
            // What was claimed goes before the next directory's contents, so
            // that a failure below leaves the files before it removed.
            files.flush();
            if (child->is_directory()) {
                Status emptied = remove_children(*child, grandchildren, level + 1);
                if (!emptied) return emptied;
            }
            Status removed = unlink_and_delete(std::move(child), &dir, &mark);
            if (!removed && removed.error() != IoError::InodeNotFound) return removed;
        }
        return {};
    };
    Status done;
    try {
        done = remove_each();
    } catch (...) {
        // Memory ran out, or a fault: what was claimed still goes.
        files.flush();
        throw;
    }
    files.flush();
    return done;
}

Status FileSystem::unlink_and_delete(INodeGuard node, INode* listed_in, RemovalMark* mark) {
    if (node->is_directory()) {
        // Exclusive, so that no creation can slip in between the check and
        // the mark; a creation that comes later finds the mark and fails.
        DirectoryNode& dir = node->as_directory();
        WriteLock hold(dir.kind_lock());
        // The mark goes here, whatever the outcome, while the caller's guard
        // still keeps the directory in memory.
        if (mark != nullptr) mark->drop_locked();
        if (dir.removed) return IoError::InodeNotFound;  // another removal got here first
        if (!dir.children.empty()) return IoError::DirectoryIsNotEmpty;
        dir.removed = true;
    } else if (node->is_file() && !node->as_file().lock.try_delete()) {
        // A file goes only when no handle holds it; the claim is for good.
        // One that another removal claimed is as good as gone.
        if (node->as_file().lock.value() == FileLock::DELETING) return IoError::InodeNotFound;
        return IoError::ResourceCurrentInUse;
    }
    // A file is claimed and a directory marked by one removal only, but two
    // removals may both reach one link: the one that unlinked it deletes it.
    if (!detach(*node, listed_in) && node->is_symlink()) return IoError::InodeNotFound;
    // Let the node go before deleting it (the table waits for every guard on
    // it).
    const std::uint64_t id = node->id();
    node.release();
    retire(id);
    return {};
}

bool FileSystem::detach(const INode& node, INode* listed_in) {
    for (;;) {
        // The directory that lists the node is its parent; a rename changes
        // both under that directory's exclusive lock, so holding it and
        // finding the node's parent still to be it means the node is listed
        // there until the lock goes.
        const std::uint64_t parent_id = node.parent();
        INodeGuard parent;
        if (listed_in != nullptr && listed_in->id() == parent_id) {
            parent = INodeGuard::unpinned(listed_in);  // the caller holds it
        } else {
            parent = parent_id == kRootId ? INodeGuard::unpinned(root_) : inodes_.get(parent_id);
            if (!parent || !parent->is_directory()) return false;
        }
        WriteLock hold(parent->kind_lock());
        if (node.parent() != parent_id) continue;  // moved meanwhile
        DirectoryNode& from = parent->as_directory();
        if (!from.children.erase(&node)) return false;
        if (node.is_symlink()) --from.link_count;
        from.touch_modified();
        return true;
    }
}

}  // namespace halvorn
