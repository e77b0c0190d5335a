// Removing files and directories, recursively on request.
#include "fs/file_system.hpp"
#include "fs/small_vector.hpp"

namespace halvorn {

using sync::ReadLock;
using sync::WriteLock;

Status FileSystem::rm(std::string_view path, bool recurse) {
    std::uint64_t id;
    {
        auto guard = get_inode_by_path(path);
        if (!guard) return guard.error();
        id = (*guard)->id();
    }
    return rm_raw(id, recurse);
}

Status FileSystem::rm_raw(std::uint64_t id, bool recurse) {
    return remove_tree(id, recurse, 0);
}

Status FileSystem::remove_tree(std::uint64_t id, bool recurse, std::uint32_t level) {
    // A tree is at most kMaxDepth deep; going further means a link led back
    // up the tree, which would otherwise recurse without end.
    if (level > kMaxDepth) return IoError::MaxRecursionDepthExceeded;

    // Inspect, and take a snapshot of a directory's children.
    SmallVector<std::uint64_t, ChildList::kInline> children;
    std::uint64_t target;
    {
        auto node = resolve(id);
        if (!node) return node.error();
        target = (*node)->id();
        if ((*node)->is_directory()) {
            ReadLock hold((*node)->kind_lock());
            const ChildList& list = (*node)->as_directory().children;
            if (!recurse && !list.empty()) return IoError::DirectoryIsNotEmpty;
            if (recurse)
                list.for_each([&](const INode* child) { children.push_back(child->id()); });
        }
    }

    // The contents, depth first, with nothing held; the first failure ends
    // the whole removal and what was removed before it stays removed.
    for (std::uint64_t child : children) {
        Status removed = remove_tree(child, true, level + 1);
        if (!removed) return removed;
    }

    // The root stays: removing it removes only what it holds.
    if (target == kRootId) return {};
    return unlink_and_delete(target);
}

Status FileSystem::unlink_and_delete(std::uint64_t id) {
    auto node = resolve(id);
    if (!node) return node.error();
    auto parent = resolve((*node)->parent());
    if (!parent || !(*parent)->is_directory()) return IoError::InodeNotFound;

    if ((*node)->is_directory()) {
        // Exclusive, so that no creation can slip in between the check and
        // the mark; a creation that comes later finds the mark and fails.
        DirectoryNode& dir = (*node)->as_directory();
        WriteLock hold(dir.kind_lock());
        if (dir.removed) return IoError::InodeNotFound;  // another removal got here first
        if (!dir.children.empty()) return IoError::DirectoryIsNotEmpty;
        dir.removed = true;
    } else {
        // A file goes only when no handle holds it; the claim is for good.
        FileNode& file = (*node)->as_file();
        ReadLock hold(file.kind_lock());
        if (!file.lock.try_delete()) return IoError::ResourceCurrentInUse;
    }
    {
        WriteLock hold((*parent)->kind_lock());
        (*parent)->as_directory().children.erase(node->get());
    }
    // Let the node go before deleting it (the table waits for every guard on
    // it); the parent stays pinned until its child has left the table.
    node->release();
    INodePtr deleted = inodes_.remove(id);
    return {};
}

}  // namespace halvorn
