#include "fs/file_system.hpp"

#include "fs/hashing.hpp"

namespace halvorn {

using sync::WriteLock;

namespace {

bool is_valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos &&
           name.size() <= InlineName::kMaxSize;
}

}  // namespace

std::shared_ptr<FileSystem> FileSystem::create() {
    return std::make_shared<FileSystem>();
}

FileSystem::FileSystem() : inodes_(random_u64()) {
    inodes_.insert(INodePtr(new DirectoryNode(kRootId, kRootId, 0, "")));
}

Result<INodeGuard> FileSystem::resolve(std::uint64_t id) const {
    INodeGuard guard = inodes_.get(id);
    for (std::uint32_t hops = 0; guard && guard->is_symlink(); ++hops) {
        if (hops == kMaxLinkHops) return IoError::MaxRecursionDepthExceeded;
        // The next node is pinned before the link is let go.
        guard = inodes_.get(guard->as_symlink().target);
    }
    if (!guard) return IoError::InodeNotFound;
    return guard;
}

Result<std::uint64_t> FileSystem::get_inode_raw(std::uint64_t id) const {
    auto guard = resolve(id);
    if (!guard) return guard.error();
    return guard->get()->id();
}

bool FileSystem::name_taken(const DirectoryNode& dir, std::string_view name) const {
    if (dir.link_count == 0) return dir.children.find(name) != nullptr;
    // A link is known under the name of the node it leads to. Unlike a
    // lookup, this check goes on past children that no longer resolve, so
    // that a dangling link cannot let a second entry of one name in.
    bool taken = false;
    dir.children.for_each([&](const INode* child) {
        if (taken) return;
        auto target = resolve(child->id());
        taken = target && target->get()->name() == name;
    });
    return taken;
}

template <class Make>
Result<std::uint64_t> FileSystem::create_node(std::uint64_t parent, std::string_view name,
                                              Make&& make) {
    if (!is_valid_name(name)) return IoError::ResourceAlreadyExists;
    // From here on the id is used up, whatever happens next.
    const std::uint64_t id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);

    auto parent_guard = resolve(parent);
    if (!parent_guard) return parent_guard.error();
    INode& parent_node = **parent_guard;

    // The name check, the link into the parent and the insert into the table
    // happen under one exclusive hold of the parent's kind lock, so that two
    // creations of one name never both succeed and a child is in the table
    // by the time any lookup can find it in its parent.
    WriteLock hold(parent_node.kind_lock());
    if (parent_node.is_directory() && name_taken(parent_node.as_directory(), name))
        return IoError::ResourceAlreadyExists;
    const std::uint32_t depth = parent_node.depth() + 1;
    if (depth > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
    if (!parent_node.is_directory()) return IoError::NotADirectory;
    DirectoryNode& dir = parent_node.as_directory();
    // A directory being removed takes no new entries (it is about to leave
    // the table, and the entry would be lost with it).
    if (dir.removed) return IoError::InodeNotFound;

    INodePtr node = make(id, depth);
    INode* child = node.get();
    dir.children.reserve_one();
    inodes_.insert(std::move(node));
    dir.children.push_back(child);
    if (child->is_symlink()) ++dir.link_count;
    return id;
}

Result<std::uint64_t> FileSystem::create_inode(std::uint64_t parent, std::string_view name,
                                               INodeKind kind) {
    return create_node(parent, name, [&](std::uint64_t id, std::uint32_t depth) -> INodePtr {
        if (kind == INodeKind::Directory)
            return INodePtr(new DirectoryNode(id, parent, depth, name));
        return INodePtr(new FileNode(id, parent, depth, name));
    });
}

Result<std::uint64_t> FileSystem::create_symlink(std::uint64_t parent, std::string_view name,
                                                 std::uint64_t target) {
    return create_node(parent, name, [&](std::uint64_t id, std::uint32_t depth) {
        return INodePtr(new SymlinkNode(id, parent, depth, name, target));
    });
}

}  // namespace halvorn
