// The file system core: a tree of nodes in one concurrent inode table.
//
// Every operation returns its value or an IoError and may be called from any
// number of threads at once. A FileSystem is shared by reference counting
// between its Python object, its open file handles and its terminals.
//
// Locks, outermost first (see inode_table.hpp and rw_lock.hpp for each):
//   1. a table shard, only inside the table's own calls;
//   2. a node's guard (pin), held by whoever looks the node up;
//   3. a node's kind lock, shared to read its contents, exclusive to change;
//   4. a file's lock word, which never waits.
// A node's guard is taken before its kind lock, and a directory's locks
// before its children's. At most one kind lock is held exclusive at a time,
// and nobody holding a kind lock waits for a guard to be released.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error/result.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"

namespace halvorn {

class FileSystem {
  public:
    // A chain of links longer than this is taken for a loop.
    static constexpr std::uint32_t kMaxLinkHops = 64;

    // A new file system holding only its root directory.
    static std::shared_ptr<FileSystem> create();
    FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Creates an empty file or directory named `name` in the directory
    // `parent` and returns its id.
    Result<std::uint64_t> create_inode(std::uint64_t parent, std::string_view name, INodeKind kind);
    // Creates a link to `target`. The system itself never makes links; they
    // exist for callers of the core that build trees directly.
    Result<std::uint64_t> create_symlink(std::uint64_t parent, std::string_view name,
                                         std::uint64_t target);

    // The id that `id` finally denotes once links are followed.
    Result<std::uint64_t> get_inode_raw(std::uint64_t id) const;
    // The same resolution, keeping the guard on the node it ends at, so that
    // callers need not look that node up a second time.
    Result<INodeGuard> resolve(std::uint64_t id) const;

    // The one-line diagnostic rendering of the whole file system.
    std::string render() const;

    const INodeTable& inodes() const { return inodes_; }
    std::uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_relaxed); }

  private:
    // The common part of create_inode and create_symlink; `make` builds the
    // node once its id and depth are known.
    template <class Make>
    Result<std::uint64_t> create_node(std::uint64_t parent, std::string_view name, Make&& make);
    // Whether a listed child of `dir` is known under `name`; the caller holds
    // the directory's kind lock.
    bool name_taken(const DirectoryNode& dir, std::string_view name) const;

    INodeTable inodes_;
    std::atomic<std::uint64_t> next_inode_id_{1};
};

}  // namespace halvorn
