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

Status FileSystem::remove_node(INodeGuard node, INode* parent, bool recurse, std::uint32_t level) {
    // A tree is at most kMaxDepth deep; going further means a link led back
    // up the tree, which would otherwise recurse without end.
    if (level > kMaxDepth) return IoError::MaxRecursionDepthExceeded;

    if (node->is_directory()) {
        // Take a snapshot of the children and let the directory go: the
        // contents are removed with nothing held, so that others may list,
        // open and create in it meanwhile.
        SmallVector<std::uint64_t, ChildList::kInline> children;
        {
            ReadLock hold(node->kind_lock());
            const ChildList& list = node->as_directory().children;
            if (!recurse && !list.empty()) return IoError::DirectoryIsNotEmpty;
            if (recurse)
                list.for_each([&](const INode* child) { children.push_back(child->id()); });
        }
        // Depth first; the first failure ends the whole removal, and what
        // was removed before it stays removed.
        for (std::uint64_t id : children) {
            auto child = resolve(id);
            if (!child) return child.error();
            // A child listed here has this directory as its parent, unless
            // it is a link that led elsewhere.
            const bool listed_here = (*child)->id() == id;
            Status removed =
                remove_node(std::move(*child), listed_here ? node.get() : nullptr, true, level + 1);
            if (!removed) return removed;
        }
    }

    // The root stays: removing it removes only what it holds.
    if (node->id() == kRootId) return {};
    return unlink_and_delete(std::move(node), parent);
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
    } else if (!node->as_file().lock.try_delete()) {
        // A file goes only when no handle holds it; the claim is for good.
        return IoError::ResourceCurrentInUse;
    }
    {
        WriteLock hold(parent->kind_lock());
        parent->as_directory().children.erase(node.get());
    }
    // Let the node go before deleting it (the table waits for every guard on
    // it); the parent stays held until its child has left the table.
    const std::uint64_t id = node->id();
    node.release();
    INodePtr deleted = inodes_.remove(id);
    return {};
}

}  // namespace halvorn
