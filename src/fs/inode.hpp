// One node of the tree, and the three kinds a node can be.
//
// The kind of a node (file, directory or link) is fixed when it is created,
// so it is a plain field that anyone holding a guard may read. What can
// change is the contents: a file's bytes and a directory's children, both
// guarded by the node's kind lock (shared to read, exclusive to change).
// Each kind is its own class so that a file pays nothing for a directory's
// child list and the other way round.
//
// Where a node sits (its name, its parent and its depth) changes only by a
// rename, which holds the kind locks of the directories it takes the node
// from and puts it into, and the file system's name lock for the name and
// parent (see file_system.hpp). So a name may be read under the kind lock
// of the directory that lists the node, or under the name lock; the parent
// and the depth are atomics that anyone may read, and a reader who needs
// them to agree with the lists holds the directory's kind lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fs/child_list.hpp"
#include "fs/file_data.hpp"
#include "fs/file_lock.hpp"
#include "fs/inline_name.hpp"
#include "fs/rw_lock.hpp"
#include "fs/wall_clock.hpp"

namespace halvorn {

inline constexpr std::uint64_t kRootId = 0;
// No node lies deeper than this below the root.
inline constexpr std::uint32_t kMaxDepth = 64;

// The alternatives of a node, in their declared order.
enum class INodeKind : std::uint8_t { File, Directory, Symlink };

class FileNode;
class DirectoryNode;
class SymlinkNode;

class INode {
public:
    INode(const INode&) = delete;
    INode& operator=(const INode&) = delete;

    std::uint64_t id() const { return id_; }
    // The directory that lists the node; the root is its own parent.
    std::uint64_t parent() const { return parent_.load(std::memory_order_relaxed); }
    std::uint32_t depth() const { return depth_.load(std::memory_order_relaxed); }
    // Read under the listing directory's kind lock or the name lock (above).
    std::string_view name() const { return name_.view(); }

    // Wall-clock nanoseconds: when the node was made, and when its contents
    // (a file's bytes, a directory's entries) last changed. Readable without
    // any lock; a reader may see a change a moment before its time.
    std::int64_t created_ns() const { return created_ns_; }
    std::int64_t modified_ns() const { return modified_ns_.load(std::memory_order_relaxed); }
    // Called by whoever changed the contents, under the exclusive kind lock.
    void touch_modified() { modified_ns_.store(wall_clock_ns(), std::memory_order_relaxed); }
    INodeKind kind() const { return kind_; }
    bool is_file() const { return kind_ == INodeKind::File; }
    bool is_directory() const { return kind_ == INodeKind::Directory; }
    bool is_symlink() const { return kind_ == INodeKind::Symlink; }

    // Guards the contents of the kind (see the class comment).
    sync::RwLock& kind_lock() const { return kind_lock_; }

    FileNode& as_file();
    const FileNode& as_file() const;
    DirectoryNode& as_directory();
    const DirectoryNode& as_directory() const;
    const SymlinkNode& as_symlink() const;

protected:
    INode(std::uint64_t id, std::uint64_t parent, std::uint32_t depth, std::string_view name,
          INodeKind kind)
        : id_(id),
          parent_(parent),
          created_ns_(wall_clock_ns()),
          modified_ns_(created_ns_),
          name_(name),
          depth_(static_cast<std::uint8_t>(depth)),
          kind_(kind) {}
    ~INode() = default;

private:
    friend class INodeGuard;
    friend class INodeTable;
    friend class FileSystem;  // moves nodes (rename)
    friend struct INodeDeleter;

    const std::uint64_t id_;
    std::atomic<std::uint64_t> parent_;
    const std::int64_t created_ns_;
    std::atomic<std::int64_t> modified_ns_;
    InlineName name_;
    // Table guards held by threads that had no read slot free (see
    // inode_table.hpp); the table's remover waits for it to reach zero.
    std::atomic<std::uint32_t> counted_guards_{0};
    mutable sync::RwLock kind_lock_;
    std::atomic<std::uint8_t> depth_;
    const INodeKind kind_;
};

class FileNode final : public INode {
public:
    FileNode(std::uint64_t id, std::uint64_t parent, std::uint32_t depth, std::string_view name)
        : INode(id, parent, depth, name, INodeKind::File) {}

    FileData data;  // guarded by kind_lock()
    FileLock lock;  // atomic; taken by handles and by removal
};

class DirectoryNode final : public INode {
public:
    DirectoryNode(std::uint64_t id, std::uint64_t parent, std::uint32_t depth,
                  std::string_view name)
        : INode(id, parent, depth, name, INodeKind::Directory) {}

    // All guarded by kind_lock().
    ChildList children;
    // Listed children that are links. A link is found under the name of the
    // node it leads to, which the name index does not know, so lookups in a
    // directory holding links go through the children one by one.
    std::uint32_t link_count = 0;
    // Set by the removal that takes this directory away, under the exclusive
    // kind lock; a creation that finds it set fails instead of adding a child
    // that no directory would list.
    bool removed = false;
    // Recursive removals emptying this directory right now; a rename does not
    // move a directory while one is under way (removal.cpp).
    std::uint32_t removals_running = 0;
};

class SymlinkNode final : public INode {
public:
    SymlinkNode(std::uint64_t id, std::uint64_t parent, std::uint32_t depth, std::string_view name,
                std::uint64_t target)
        : INode(id, parent, depth, name, INodeKind::Symlink), target(target) {}

    const std::uint64_t target;
};

inline FileNode& INode::as_file() {
    return static_cast<FileNode&>(*this);
}
inline const FileNode& INode::as_file() const {
    return static_cast<const FileNode&>(*this);
}
inline DirectoryNode& INode::as_directory() {
    return static_cast<DirectoryNode&>(*this);
}
inline const DirectoryNode& INode::as_directory() const {
    return static_cast<const DirectoryNode&>(*this);
}
inline const SymlinkNode& INode::as_symlink() const {
    return static_cast<const SymlinkNode&>(*this);
}

// Nodes have no virtual destructor (it would cost every node a pointer);
// the deleter picks the right class from the kind.
struct INodeDeleter {
    void operator()(INode* node) const;
};
using INodePtr = std::unique_ptr<INode, INodeDeleter>;

}  // namespace halvorn
