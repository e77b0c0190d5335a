// The file system core: a tree of nodes in one concurrent inode table.
//
// Every operation returns its value or an IoError and may be called from any
// number of threads at once. A FileSystem is shared by reference counting
// between its Python object, its open file handles and its terminals.
//
// Locks, outermost first (see inode_table.hpp and rw_lock.hpp for each):
//   1. the rename mutex, held by a rename between two directories;
//   2. a node's guard (pin), held by whoever looks the node up;
//   3. a node's kind lock, shared to read its contents, exclusive to change;
//   4. the name lock, shared to read a node's name and parent away from the
//      directory that lists it, exclusive to change them (a rename);
//   5. a table shard, only inside the table's own calls;
//   6. a file's lock word, which never waits;
//   7. the registry of read records, only while a thread's record is added
//      or dropped (thread_records.hpp); its holder takes nothing else.
// A node's guard is taken before its kind lock, and a directory's locks
// before its children's. Nobody holding a kind lock waits for a guard to be
// released, and holders of a shard or the name lock wait for nothing but the
// locks after them. At most one kind lock is held exclusive at a time, but
// by a rename and by a removal. A rename holds the two directories'
// exclusive, the one that is an ancestor of the other first and else the one
// with the smaller id first; only a rename between two directories takes
// two, and it does so holding the rename mutex, so no two threads ever wait
// for each other's second one. The moved node's kind lock (shared) and those
// of its subtree come after, and a replaced directory's (exclusive). A
// removal holds the directory that lists its entry exclusive and then, when
// the entry is a directory, the entry's own exclusive: a directory before
// its child, as everywhere, and the child cannot move while its parent is
// held, so this never crosses a rename's order.
// Threads wait for the rename mutex holding guards, so its holder never
// waits for a guard to be released.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include <vector>

#include "error/result.hpp"
#include "fs/file_handle.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"
#include "fs/small_vector.hpp"
#include "fs/usage.hpp"

namespace halvorn {

// A path cut at its last separator ('/' or '\'). Without a separator the
// parent is empty, which resolves to the root.
struct SplitPath {
    std::string_view parent;
    std::string_view name;
};
SplitPath split_last_separator(std::string_view path);

// What stat tells of a node: the node a path leads to once links are
// followed, which is a file or a directory.
struct NodeStatus {
    std::uint64_t id;
    bool is_directory;
    std::uint64_t size;  // a file's bytes; 0 for a directory
    std::int64_t created_ns;
    std::int64_t modified_ns;
};

// What an open does when the last name of its path is missing or present.
enum class Creation : std::uint8_t {
    Never,      // only an existing file is opened
    IfMissing,  // a missing file is created empty
    Exclusive,  // a new file is created; an existing name is refused
};

// The entries of a directory: first those that are not directories, then
// the directories, each in the order they were created.
struct Listing {
    std::vector<std::string> files;
    std::vector<std::string> directories;
};

class FileSystem {
public:
    // A chain of links longer than this is taken for a loop.
    static constexpr std::uint32_t kMaxLinkHops = 64;

    // A new file system holding only its root directory, within `limits`.
    static std::shared_ptr<FileSystem> create(const Limits& limits = {});
    explicit FileSystem(const Limits& limits = {});
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Creates an empty file or directory named `name` in the directory
    // `parent` and returns its id. Every creation checks the name against
    // max_name_length before it takes an id (NameTooLong) and takes its node
    // from max_nodes last, once nothing else can refuse it (NoNodesLeft), and
    // then its name's bytes from max_bytes (NoSpaceLeft); a refusal takes
    // nothing.
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

    // Names and paths. Paths are resolved from the root, with '/' and '\\'
    // as separators; empty components and "." are skipped and ".." goes to
    // the parent (the root being its own parent).
    //
    // The id of the entry `name` in the directory `dir` (whose guard the
    // caller holds); "", "." and ".." name the node itself and its parent.
    Result<std::uint64_t> find_inode_by_name_with_handle(const INode& dir,
                                                         std::string_view name) const;
    Result<std::uint64_t> find_inode_by_name(std::uint64_t dir, std::string_view name) const;
    // A child found by name: the id as its directory lists it (a link's own
    // id), and a guard on the node it finally leads to.
    struct Found {
        std::uint64_t listed_id;
        INodeGuard node;
    };
    // The same lookup as find_inode_by_name, keeping a guard on what it
    // found: the node was listed under the name when it was pinned, and
    // stays in memory while the guard lives, whatever renames do meanwhile.
    Result<Found> find_in(std::uint64_t dir, std::string_view name) const;
    Result<INodeGuard> get_inode_by_path(std::string_view path) const;
    Result<std::string> get_path_by_inode(std::uint64_t id) const;
    Result<bool> is_file_raw(std::uint64_t id) const;
    Result<bool> is_directory_raw(std::uint64_t id) const;
    // What the path leads to; no file's lock is taken, so it answers while
    // a handle writes the file.
    Result<NodeStatus> stat(std::string_view path) const;
    // A number that no other file system of this process shares.
    std::uint64_t device() const { return device_; }

    // Creating and listing.
    Status mkdir(std::string_view path);
    Status touch(std::string_view path);
    Result<Listing> ls(std::string_view path) const;
    Result<Listing> ls_raw(std::uint64_t id) const;
    Result<Listing> ls_of(const INode& dir) const;
    // The outline of everything below the directory at `path`: each
    // directory's line and then its own outline, then the other entries'
    // lines, each line `prefix` (two spaces more per level), the name, "/"
    // for a directory and a line feed. Each directory is listed under its
    // own lock; an entry that went, or moved away, since its directory was
    // listed is left out, so the outline fails only when `path` itself
    // does not lead to a directory.
    Result<std::string> outline(std::string_view path, std::string_view prefix) const;
    // Calls visit(name, is_directory) for each entry of a directory, in
    // creation order, while holding the directory's kind lock shared: other
    // readers go on, changes of this directory wait until the visit ends.
    // `visit` must not call back into this file system. This is the listing
    // without copies, for callers that build their own result.
    template <class Visit>
    Status visit_entries(std::string_view path, Visit&& visit) const;
    template <class Visit>
    Status visit_entries_raw(std::uint64_t id, Visit&& visit) const;

    // Removal: a file that no handle holds open, an empty directory, or with
    // `recurse` a directory and everything below it (stopping at the first
    // failure). The root itself stays: removing it removes its contents.
    Status rm(std::string_view path, bool recurse);
    Status rm_raw(std::uint64_t id, bool recurse);

    // Moves the entry at `from` to `to` in one step, replacing a file there,
    // or an empty directory when the entry is a directory. Every failure
    // leaves both places as they were, and every lookup meanwhile finds the
    // entry under exactly one of its names. An open file may be moved; its
    // handles keep working.
    Status rename(std::string_view from, std::string_view to);

    // Opening. Both take a share of the file system for the new handle.
    // `creation` says what happens when the last name is missing (or, for
    // Exclusive, present); an existing file is never truncated.
    static Result<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                   FileHandleType type, Creation creation);
    static Result<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                   FileHandleType type, bool create) {
        return open(std::move(fs), path, type, create ? Creation::IfMissing : Creation::Never);
    }
    static Result<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, std::uint64_t id,
                                       FileHandleType type);
    // Opens the entry `name` of the directory `dir`, found as find_in finds
    // it, taking the file's lock while the directory still lists it: a
    // rename that replaces the name comes wholly before or after, so the
    // handle holds the old file or the new one.
    static Result<FileHandle> open_in(std::shared_ptr<FileSystem> fs, std::uint64_t dir,
                                      std::string_view name, FileHandleType type);

    // Writes `bytes` into a file's contents at `offset`, taking the room it
    // adds from max_bytes first: all of it or nothing, the contents unchanged
    // on NoSpaceLeft. The caller holds the file's kind lock exclusive.
    Status write_file(FileData& data, std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Sets the size of a file's contents: growing leaves a hole, which takes
    // nothing from max_bytes; cutting gives back the room that frees.
    Status resize_file(FileData& data, std::uint64_t size);

    // The one-line diagnostic rendering of the whole file system.
    std::string render() const;

    const INodeTable& inodes() const { return inodes_; }
    const Usage& usage() const { return usage_; }
    std::uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_relaxed); }

private:
    // Looks `name` up in `dir` (whose guard the caller holds) and resolves
    // what it finds; the same answers as find_inode_by_name_with_handle
    // followed by resolve(), without a second lookup in the table.
    Result<Found> lookup_child(const INode& dir, std::string_view name) const;

    template <class Visit>
    Status visit_entries_of(const INode& dir, Visit& visit) const;
    // The child `dir` lists under `name`, or null; the caller holds the
    // directory's kind lock. A link is known under the name of the node it
    // leads to; one that leads nowhere is passed over, and one caught in a
    // loop too, its error kept in `link_error` for a caller that finds
    // nothing else to say.
    INode* listed_child(const DirectoryNode& dir, std::string_view name,
                        IoError* link_error = nullptr) const;
    // Whether `name` may name a new node: not empty, "." or "..", and
    // without a separator.
    static bool is_valid_name(std::string_view name);
    // Checks a new node's name and takes its id; a refused name uses none.
    Result<std::uint64_t> take_id(std::string_view name);
    // The part of every creation that runs once the parent is found; `make`
    // builds the node from its depth.
    template <class Make>
    Result<std::uint64_t> create_in(const INodeGuard& parent, std::string_view name, Make&& make);
    // Creates an empty file or directory in the directory the caller holds.
    Result<std::uint64_t> create_child(const INodeGuard& parent, std::string_view name,
                                       INodeKind kind);
    Status create_at_path(std::string_view path, INodeKind kind);
    // Creates an empty file in the directory the caller holds, its lock
    // already held as `type` asks: no other thread can remove or claim the
    // file between its creation and its opening.
    Result<FileNode*> create_held_file(const INodeGuard& parent, std::string_view name,
                                       FileHandleType type);

    // The outline (outline.cpp).
    class Outliner;

    // Removal (removal.cpp).
    class FileBatch;
    class RemovalMark;
    using ChildIds = SmallVector<std::uint64_t, ChildList::kInline>;
    // The entry a removal takes from its directory: the one listed under
    // `name`, which must be the node `named` unless that is the root (a path
    // that ended in "." or ".."); without a name, the node `held` guards,
    // wherever it is listed. That guard is let go before the node is
    // deleted, which waits for every guard on it.
    struct RemovalTarget {
        std::string_view name;
        std::uint64_t named = kRootId;
        INodeGuard* held = nullptr;
    };
    // Finds the target in `dir` and takes it away, all under one exclusive
    // hold of `dir`, so that the entry removed is the one named there when
    // the removal acts: a rename that moves the name comes wholly before or
    // after. A directory removed with `recurse` is marked under that hold,
    // emptied with nothing held and unlinked at last under it again.
    // `moved` is set when the target node is no longer listed in `dir`.
    // When the entry is a link and `link` is given, nothing is removed: the
    // link's id is set there for the caller, who lets go of `dir` first (the
    // link may lead to `dir` itself or to a directory above it).
    Status remove_entry(INode& dir, const RemovalTarget& target, bool recurse,
                        bool* moved = nullptr, std::uint64_t* link = nullptr);
    Status remove_root_contents(bool recurse);
    // At its deepest a recursive removal holds a guard on the directory that
    // lists what it removes and on each directory from that one down to the
    // limit, and takes the shard and the pin of one more node; the root
    // needs no pin, so that is at most the depth limit and two. The holds
    // that find no read slot free are counted, and the thread must remember
    // every one of them, or it could no longer tell when it is about to
    // wait for itself.
    static_assert(kMaxDepth + 2 <= sync::kSlotsPerThread + sync::kRememberedCounts,
                  "the deepest removal's holds outgrow what a thread remembers");
    // Removes what `dir` listed when `children` was taken, in order and
    // depth first; entries that went meanwhile count as removed. `level`
    // counts the directories above `dir` in this removal.
    Status remove_children(INode& dir, const ChildIds& children, std::uint32_t level);
    // Takes `entry`, which `dir` lists, off the list if it may go: a file no
    // handle holds (claimed for good), an empty directory (marked removed;
    // `mark` is the caller's mark on it, dropped here whatever the outcome)
    // or a link. The caller holds `dir` exclusive and retires the entry.
    Status take_off(DirectoryNode& dir, INode& entry, RemovalMark* mark);
    // The last step of a recursive removal of `entry`, emptied and marked by
    // this removal, or of a link met inside the tree: off the list of `dir`
    // under its exclusive hold, then out of the table.
    Status unlink_emptied(INode& dir, INodeGuard entry, RemovalMark* mark);
    // The node `id`, already off every list, leaves the file system: out of
    // the table once no guard pins it, its node and bytes given back to the
    // limits. Every removal of a node ends here.
    void retire(std::uint64_t id);

    // Renaming (rename.cpp).
    // One end of a rename or the entry a removal names: the directory that
    // lists (or is to list) the entry, and the entry's name there. A path
    // that ends in "." or ".." names the directory it leads to, `named`
    // (the root, which is never an entry, for any other path).
    struct Place {
        INodeGuard dir;
        std::string_view name;
        std::uint64_t named = kRootId;
    };
    Result<Place> place_of(std::string_view path, std::string& name) const;
    // Whether `dir` (held by the caller) can take `link` without a second
    // entry known under one name; `replaced` is the entry the move replaces.
    bool link_name_free(const INode& link, const DirectoryNode& dir, const INode* replaced) const;
    // Whether `ancestor` is `node` or a directory above it.
    bool is_above(const INode& ancestor, const INode& node) const;
    // Gives the node `id`, when `parent` still lists it, and everything
    // below it the depths that follow from `depth`; false, part done, if
    // `checked` and a node would pass the depth limit.
    bool set_depths(std::uint64_t id, std::uint64_t parent, std::uint32_t depth, bool checked);
    bool set_depths_below(INode& dir, bool checked);

    INodeTable inodes_;
    // Never leaves the table before the file system goes, so guards on it
    // need no pin.
    INode* root_ = nullptr;
    // Relaxed: an id needs only to be unique, which the read-modify-write
    // gives; a node is published by its directory's lock and the table's.
    std::atomic<std::uint64_t> next_inode_id_{1};
    Usage usage_;
    const std::uint64_t device_;
    // Guards every node's name and parent for readers away from the
    // directory that lists it (a path being built, the rendering, a link's
    // name); taken exclusive only by a rename, for the swap itself.
    mutable sync::RwLock names_lock_;
    // Held by a rename between two directories, so that no other can change
    // which directory lies above which while it checks and locks.
    std::mutex rename_mutex_;
};

template <class Visit>
Status FileSystem::visit_entries(std::string_view path, Visit&& visit) const {
    auto dir = get_inode_by_path(path);
    if (!dir) return dir.error();
    return visit_entries_of(**dir, visit);
}

template <class Visit>
Status FileSystem::visit_entries_raw(std::uint64_t id, Visit&& visit) const {
    auto dir = resolve(id);
    if (!dir) return dir.error();
    return visit_entries_of(**dir, visit);
}

template <class Visit>
Status FileSystem::visit_entries_of(const INode& dir, Visit& visit) const {
    sync::ReadLock hold(dir.kind_lock());
    if (!dir.is_directory()) return IoError::NotADirectory;
    dir.as_directory().children.for_each([&](const INode* child) {
        if (!child->is_symlink()) {
            visit(child->name(), child->is_directory());
            return;
        }
        // A link shows the name and kind of what it leads to; one that
        // leads nowhere is not listed. That node may be listed elsewhere,
        // so its name is read under the name lock.
        auto target = resolve(child->id());
        if (!target) return;
        sync::ReadLock names(names_lock_);
        visit((*target)->name(), (*target)->is_directory());
    });
    return {};
}

}  // namespace halvorn
