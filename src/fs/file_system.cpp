#include "fs/file_system.hpp"

#include "fs/hashing.hpp"
#include "fs/name_index.hpp"

namespace halvorn {

using sync::WriteLock;

bool FileSystem::is_valid_name(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > InlineName::kMaxSize)
        return false;
    for (char c : name) {
        if (c == '/' || c == '\\') return false;
    }
    return true;
}

namespace {

// Numbers the file systems of this process, so that a stat tells two of
// them apart the way a device number tells two mounted ones apart.
std::atomic<std::uint64_t> g_next_device{1};

}  // namespace

std::shared_ptr<FileSystem> FileSystem::create(const Limits& limits) {
    return std::make_shared<FileSystem>(limits);
}

FileSystem::FileSystem(const Limits& limits)
    : inodes_(random_u64()),
      usage_(limits),
      device_(g_next_device.fetch_add(1, std::memory_order_relaxed)) {
    INodePtr root(new DirectoryNode(kRootId, kRootId, 0, ""));
    root_ = root.get();
    inodes_.insert(std::move(root));
    // The root counts, as every node does, even against a limit that leaves
    // no room for it: such a file system takes no other node.
    (void)usage_.reserve_node();
}

Result<INodeGuard> FileSystem::resolve(std::uint64_t id) const {
    INodeGuard guard = id == kRootId ? INodeGuard::unpinned(root_) : inodes_.get(id);
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

INode* FileSystem::listed_child(const DirectoryNode& dir, std::string_view name,
                                IoError* link_error) const {
    if (dir.link_count == 0) return dir.children.find(NameKey(name));
    // A link is known under the name of the node it leads to, which the
    // index does not know, so the children are looked at one by one. A link
    // that leads nowhere names nothing; the entries after it still count.
    INode* found = nullptr;
    dir.children.for_each([&](INode* child) {
        if (found != nullptr) return;
        if (!child->is_symlink()) {
            if (child->name() == name) found = child;
            return;
        }
        auto target = resolve(child->id());
        if (!target) {
            if (link_error != nullptr && target.error() != IoError::InodeNotFound)
                *link_error = target.error();
            return;
        }
        // The node a link leads to may be listed elsewhere, where a rename
        // could change its name under a lock this thread does not hold.
        sync::ReadLock names(names_lock_);
        if ((*target)->name() == name) found = child;
    });
    return found;
}

Result<std::uint64_t> FileSystem::take_id(std::string_view name) {
    if (!is_valid_name(name)) return IoError::ResourceAlreadyExists;
    if (!usage_.name_fits(name)) return IoError::NameTooLong;
    // From here on the id is used up, whatever happens next.
    return next_inode_id_.fetch_add(1, std::memory_order_relaxed);
}

template <class Make>
Result<std::uint64_t> FileSystem::create_in(const INodeGuard& parent, std::string_view name,
                                            Make&& make) {
    INode& node = *parent;
    // The name check, the link into the parent and the insert into the table
    // happen under one exclusive hold of the parent's kind lock, so that two
    // creations of one name never both succeed. Nobody sees the parent's
    // list without that lock, so the child is in the table by the time
    // anyone can find it there.
    WriteLock hold(node.kind_lock());
    if (node.is_directory() && listed_child(node.as_directory(), name) != nullptr)
        return IoError::ResourceAlreadyExists;
    const std::uint32_t depth = node.depth() + 1;
    if (depth > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
    if (!node.is_directory()) return IoError::NotADirectory;
    DirectoryNode& dir = node.as_directory();
    // A directory being removed takes no new entries (it is about to leave
    // the table, and the entry would be lost with it).
    if (dir.removed) return IoError::InodeNotFound;

    // Last, so that a full file system still answers every other refusal
    // as before; from here only a failed allocation can refuse.
    if (!usage_.reserve_node()) return IoError::NoNodesLeft;
    // The name's bytes are memory the tree holds for its user, as contents
    // are, so they come out of the byte budget.
    if (!usage_.reserve_bytes(name.size())) {
        usage_.release_node();
        return IoError::NoSpaceLeft;
    }
    INode* added = nullptr;
    try {
        INodePtr child = make(depth);
        added = child.get();
        dir.children.reserve_one();
        inodes_.insert(std::move(child));
    } catch (...) {
        usage_.release_bytes(name.size());
        usage_.release_node();
        throw;
    }
    dir.children.push_back(added, NameKey(name));
    if (added->is_symlink()) ++dir.link_count;
    dir.touch_modified();
    return added->id();
}

void FileSystem::retire(std::uint64_t id) {
    INodePtr node = inodes_.remove(id);
    if (!node) return;
    // Out of the table and unpinned, the node is nobody's but ours: its
    // contents are read without a lock.
    std::uint64_t bytes = node->name().size();
    if (node->is_file()) bytes += node->as_file().data.room();
    usage_.release_bytes(bytes);
    usage_.release_node();
}

Status FileSystem::write_file(FileData& data, std::uint64_t offset,
                              std::span<const std::uint8_t> bytes) {
    bool spare = true;
    std::uint64_t growth = data.room_to_write(offset, bytes.size(), spare);
    if (growth != 0 && !usage_.reserve_bytes(growth)) {
        // Near the limit the first page grows to what it needs, without the
        // spare room of geometric growth, so that files fill the budget to
        // the byte; the other pages are whole whatever the budget.
        spare = false;
        growth = data.room_to_write(offset, bytes.size(), spare);
        if (growth != 0 && !usage_.reserve_bytes(growth)) return IoError::NoSpaceLeft;
    }
    try {
        data.write(offset, bytes, spare);
    } catch (...) {
        usage_.release_bytes(growth);
        throw;
    }
    return {};
}

Status FileSystem::resize_file(FileData& data, std::uint64_t size) {
    // Growth is a hole and takes no room; a cut gives back what it frees.
    const std::uint64_t before = data.room();
    data.resize(size);
    usage_.release_bytes(before - data.room());
    return {};
}

namespace {

INodePtr make_empty(INodeKind kind, std::uint64_t id, std::uint64_t parent, std::uint32_t depth,
                    std::string_view name) {
    if (kind == INodeKind::Directory) return INodePtr(new DirectoryNode(id, parent, depth, name));
    return INodePtr(new FileNode(id, parent, depth, name));
}

}  // namespace

Result<std::uint64_t> FileSystem::create_inode(std::uint64_t parent, std::string_view name,
                                               INodeKind kind) {
    auto id = take_id(name);
    if (!id) return id.error();
    auto parent_node = resolve(parent);
    if (!parent_node) return parent_node.error();
    // The node records the directory it is listed in, not the id it was
    // reached by: a link may go away while the directory stays.
    return create_in(*parent_node, name, [&](std::uint32_t depth) {
        return make_empty(kind, *id, (*parent_node)->id(), depth, name);
    });
}

Result<std::uint64_t> FileSystem::create_symlink(std::uint64_t parent, std::string_view name,
                                                 std::uint64_t target) {
    auto id = take_id(name);
    if (!id) return id.error();
    auto parent_node = resolve(parent);
    if (!parent_node) return parent_node.error();
    return create_in(*parent_node, name, [&](std::uint32_t depth) {
        return INodePtr(new SymlinkNode(*id, (*parent_node)->id(), depth, name, target));
    });
}

Result<std::uint64_t> FileSystem::create_child(const INodeGuard& parent, std::string_view name,
                                               INodeKind kind) {
    auto id = take_id(name);
    if (!id) return id.error();
    return create_in(parent, name, [&](std::uint32_t depth) {
        return make_empty(kind, *id, parent->id(), depth, name);
    });
}

Result<FileNode*> FileSystem::create_held_file(const INodeGuard& parent, std::string_view name,
                                               FileHandleType type) {
    auto id = take_id(name);
    if (!id) return id.error();
    FileNode* made = nullptr;
    auto created = create_in(parent, name, [&](std::uint32_t depth) {
        auto file = std::make_unique<FileNode>(*id, parent->id(), depth, name);
        // Nobody else can see the node yet, so the hold cannot fail.
        const bool held = type.can_write() ? file->lock.try_write() : file->lock.try_read();
        check_invariant(held, "a new file's lock was taken before it was listed");
        made = file.get();
        return INodePtr(file.release());
    });
    if (!created) return created.error();
    return made;
}

Status FileSystem::create_at_path(std::string_view path, INodeKind kind) {
    const SplitPath split = split_last_separator(path);
    // The parent's guard from the walk serves the creation too; the parent
    // is not looked up a second time.
    auto parent = get_inode_by_path(split.parent);
    if (!parent) return parent.error();
    auto created = create_child(*parent, split.name, kind);
    if (!created) return created.error();
    return {};
}

}  // namespace halvorn
