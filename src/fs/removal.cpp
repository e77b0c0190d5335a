// Removing files and directories, recursively on request.
#include "fs/file_system.hpp"
#include "fs/small_vector.hpp"

namespace halvorn {

using sync::ReadLock;
using sync::WriteLock;

Status FileSystem::rm(std::string_view path, bool recurse) {
    auto node = get_inode_by_path(path);
    if (!node) return node.error();
    return remove_node(std::move(*node), nullptr, recurse, 0);
}

Status FileSystem::rm_raw(std::uint64_t id, bool recurse) {
    auto node = resolve(id);
    if (!node) return node.error();
    return remove_node(std::move(*node), nullptr, recurse, 0);
}

// Files of one directory on their way out: claimed (so that no handle can
// open them and no other removal take them), then unlinked and deleted
// together. The owner flushes the batch on every way out: a claim is for
// good, so a file claimed and never flushed could never be opened or removed
// again. The destructor does not flush, because flushing can raise a fault
// and a destructor must not.
class FileSystem::FileBatch {
public:
    FileBatch(FileSystem& fs, INode& dir) : fs_(fs), dir_(dir) {}
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    // Claims a file; false if a handle holds it (it then stays as it is).
    bool claim(INodeGuard file) {
        // Room for the file first: a claim is for good, so a file claimed
        // and then not recorded, for want of memory, would never be
        // unlinked, and could never be opened or removed again.
        claimed_.push_back(file.get());
        if (!file->as_file().lock.try_delete()) {
            claimed_.pop_back();
            return false;
        }
        // Claimed: nobody else deletes the node, so it stays in the table
        // until this batch deletes it, guard or no guard.
        return true;
    }

    // Unlinks and deletes what was claimed.
    void flush() {
        if (claimed_.empty()) return;
        {
            WriteLock hold(dir_.kind_lock());
            for (INode* file : claimed_)
                dir_.as_directory().children.erase(file);
        }
        for (INode* file : claimed_)
            fs_.retire(file->id());
        claimed_.clear();
    }

private:
    FileSystem& fs_;
    INode& dir_;  // held by the caller's guard throughout
    SmallVector<INode*, ChildList::kInline> claimed_;
};

Status FileSystem::remove_node(INodeGuard node, INode* parent, bool recurse, std::uint32_t level) {
    // Without links a tree is at most kMaxDepth deep, and the recursion
    // never follows one; this is the bound should that ever change.
    if (level > kMaxDepth) return IoError::MaxRecursionDepthExceeded;

    if (node->is_directory()) {
        // Take a snapshot of the children and let the directory go: the
        // contents are removed with nothing held, so that others may list,
        // open and create in it meanwhile.
        ChildIds children;
        {
            ReadLock hold(node->kind_lock());
            const ChildList& list = node->as_directory().children;
            if (!recurse && !list.empty()) return IoError::DirectoryIsNotEmpty;
            if (recurse)
                list.for_each([&](const INode* child) { children.push_back(child->id()); });
        }
        // Files listed here are claimed one by one and then unlinked
        // together, under one exclusive hold of this directory instead of
        // one each.
        FileBatch files(*this, *node);
        Status emptied;
        try {
            emptied = remove_children(*node, children, files, level);
        } catch (...) {
            // Memory ran out, or a fault: what was claimed still goes.
            files.flush();
            throw;
        }
        files.flush();
        if (!emptied) return emptied;
    }

    // The root stays: removing it removes only what it holds.
    if (node->id() == kRootId) return {};
    return unlink_and_delete(std::move(node), parent);
}

Status FileSystem::remove_children(INode& dir, const ChildIds& children, FileBatch& files,
                                   std::uint32_t level) {
    // Depth first; the first failure ends the whole removal, and what was
    // removed before it stays removed.
    for (std::uint64_t id : children) {
        // The entry itself, not what it leads to: a link inside the tree
        // goes as an entry, and whatever it leads to stays where it is.
        INodeGuard child = inodes_.get(id);
        if (!child) return IoError::InodeNotFound;  // another removal took it
        if (child->is_file()) {
            if (!files.claim(std::move(child))) return IoError::ResourceCurrentInUse;
            continue;
        }
        files.flush();
        Status removed = remove_node(std::move(child), &dir, true, level + 1);
        if (!removed) return removed;
    }
    return {};
}

Status FileSystem::unlink_and_delete(INodeGuard node, INode* parent) {
    Result<INodeGuard> parent_guard = INodeGuard();
    if (parent == nullptr) {
        parent_guard = resolve(node->parent());
        if (!parent_guard) return parent_guard.error();
        parent = parent_guard->get();
    }
    if (!parent->is_directory()) return IoError::InodeNotFound;

    if (node->is_directory()) {
        // Exclusive, so that no creation can slip in between the check and
        // the mark; a creation that comes later finds the mark and fails.
        DirectoryNode& dir = node->as_directory();
        WriteLock hold(dir.kind_lock());
        if (dir.removed) return IoError::InodeNotFound;  // another removal got here first
        if (!dir.children.empty()) return IoError::DirectoryIsNotEmpty;
        dir.removed = true;
    } else if (node->is_file() && !node->as_file().lock.try_delete()) {
        // A file goes only when no handle holds it; the claim is for good.
        return IoError::ResourceCurrentInUse;
    }
    bool unlinked = false;
    {
        WriteLock hold(parent->kind_lock());
        DirectoryNode& from = parent->as_directory();
        unlinked = from.children.erase(node.get());
        if (unlinked && node->is_symlink()) --from.link_count;
    }
    // A file is claimed and a directory marked by one removal only, but two
    // removals may both reach one link: the one that unlinked it deletes it.
    if (!unlinked && node->is_symlink()) return IoError::InodeNotFound;
    // Let the node go before deleting it (the table waits for every guard on
    // it); the parent stays held until its child has left the table.
    const std::uint64_t id = node->id();
    node.release();
    retire(id);
    return {};
}

}  // namespace halvorn
