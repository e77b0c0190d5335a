// Removing files and directories, recursively on request.
//
// A removal by path takes the entry its path names where it is named: it
// finds the name and takes the entry away (or, recursively, marks it) under
// one exclusive hold of the directory that lists it, so a rename of that
// name comes wholly before or after, and a removal never follows a node to
// wherever a rename put it.
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
    ~RemovalMark() { drop(); }

    // Takes the directory's lock; a caller holding the directory that lists
    // it may call it, as that comes first in the order.
    void drop() {
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
    std::string storage;
    auto place = place_of(path, storage);
    if (!place) {
        // The root stays: removing it removes only what it holds.
        if (place.error() == IoError::RootCannotBeMoved) return remove_root_contents(recurse);
        return place.error();
    }
    std::uint64_t link = kRootId;
    Status removed =
        remove_entry(*place->dir, {place->name, place->named}, recurse, nullptr, &link);
    if (link == kRootId) return removed;
    // The path named a link: what it leads to goes, and that may be the
    // directory pinned here or one above it, whose deletion waits for every
    // pin on it (this thread's too).
    place->dir.release();
    return rm_raw(link, recurse);
}

Status FileSystem::rm_raw(std::uint64_t id, bool recurse) {
    auto node = resolve(id);
    if (!node) return node.error();
    if ((*node)->id() == kRootId) return remove_root_contents(recurse);
    // Named by id, the node goes from wherever it is listed when the removal
    // acts; a rename between the look at its parent and the hold moves it,
    // and the removal looks again.
    for (;;) {
        const std::uint64_t parent_id = (*node)->parent();
        INodeGuard parent =
            parent_id == kRootId ? INodeGuard::unpinned(root_) : inodes_.get(parent_id);
        if (!parent) {
            // Gone with its parent, or moved out of it meanwhile.
            if ((*node)->parent() == parent_id) return IoError::InodeNotFound;
            continue;
        }
        bool moved = false;
        Status removed = remove_entry(*parent, {{}, kRootId, &*node}, recurse, &moved);
        if (!moved) return removed;
    }
}

Status FileSystem::remove_root_contents(bool recurse) {
    ChildIds children;
    {
        ReadLock hold(root_->kind_lock());
        const DirectoryNode& root = root_->as_directory();
        if (!recurse)
            return root.children.empty() ? Status{} : Status{IoError::DirectoryIsNotEmpty};
        root.children.for_each([&](const INode* child) { children.push_back(child->id()); });
    }
    return remove_children(*root_, children, 0);
}

Status FileSystem::remove_entry(INode& dir, const RemovalTarget& target, bool recurse,
                                bool* moved, std::uint64_t* link_out) {
    // Declared before the mark, which needs the directory in memory while it
    // lives.
    INodeGuard emptied;
    RemovalMark mark;
    ChildIds children;
    std::uint64_t gone = kRootId;
    std::uint64_t link = kRootId;
    {
        WriteLock hold(dir.kind_lock());
        if (!dir.is_directory()) return IoError::NotADirectory;
        DirectoryNode& list = dir.as_directory();
        INode* entry = target.held != nullptr ? target.held->get() : nullptr;
        if (entry == nullptr) {
            IoError link_error = IoError::InodeNotFound;
            entry = listed_child(list, target.name, &link_error);
            if (entry == nullptr) return link_error;
            // "." or "..": the name no longer lists the directory the path
            // led to, so that path leads nowhere now.
            if (target.named != kRootId && entry->id() != target.named)
                return IoError::InodeNotFound;
        } else if (entry->parent() != dir.id()) {
            if (moved != nullptr) *moved = true;
            return IoError::InodeNotFound;
        }
        if (entry->is_symlink()) {
            // A path names what a link leads to, which is listed elsewhere.
            link = entry->id();
        } else if (entry->is_directory() && recurse) {
            WriteLock entry_hold(entry->kind_lock());
            DirectoryNode& subdir = entry->as_directory();
            if (subdir.removed) return IoError::InodeNotFound;  // another removal took it
            subdir.children.for_each([&](const INode* child) { children.push_back(child->id()); });
            mark.set_locked(subdir);
            emptied = INodeGuard::pin_listed(entry);
        } else {
            Status taken = take_off(list, *entry, nullptr);
            if (!taken) return taken;
            gone = entry->id();
        }
    }
    if (link != kRootId) {
        if (link_out != nullptr) {
            *link_out = link;
            return {};
        }
        return rm_raw(link, recurse);
    }
    if (target.held != nullptr) target.held->release();
    if (gone != kRootId) {
        retire(gone);
        return {};
    }
    // The mark keeps renames from moving or replacing the directory while it
    // is emptied with nothing held, so it is still listed in `dir` at the end.
    Status contents = remove_children(*emptied, children, 0);
    if (!contents) return contents;
    return unlink_emptied(dir, std::move(emptied), &mark);
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
            Status removed = unlink_emptied(dir, std::move(child), &mark);
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

Status FileSystem::take_off(DirectoryNode& dir, INode& entry, RemovalMark* mark) {
    if (entry.is_directory()) {
        // The directory's own lock too, exclusive, after its parent's: no
        // creation can slip in between the check and the mark, and one that
        // comes later finds the mark and fails.
        DirectoryNode& subdir = entry.as_directory();
        WriteLock hold(subdir.kind_lock());
        if (mark != nullptr) mark->drop_locked();
        if (subdir.removed) return IoError::InodeNotFound;  // another removal got here first
        if (!subdir.children.empty()) return IoError::DirectoryIsNotEmpty;
        subdir.removed = true;
    } else if (entry.is_file() && !entry.as_file().lock.try_delete()) {
        // A file goes only when no handle holds it; the claim is for good.
        // One that another removal claimed is as good as gone.
        if (entry.as_file().lock.value() == FileLock::DELETING) return IoError::InodeNotFound;
        return IoError::ResourceCurrentInUse;
    }
    // Two removals may both reach one link: the one that unlinks it deletes
    // it. A file or directory is claimed or marked by one removal only, and
    // is listed here until then.
    if (!dir.children.erase(&entry)) return IoError::InodeNotFound;
    if (entry.is_symlink()) --dir.link_count;
    dir.touch_modified();
    return {};
}

Status FileSystem::unlink_emptied(INode& dir, INodeGuard entry, RemovalMark* mark) {
    {
        WriteLock hold(dir.kind_lock());
        // A marked directory stays where it is; only a link can have been
        // moved out meanwhile, and it then stays where it went.
        if (entry->parent() != dir.id()) {
            if (mark != nullptr) mark->drop();
            return IoError::InodeNotFound;
        }
        Status taken = take_off(dir.as_directory(), *entry, mark);
        if (!taken) return taken;
    }
    // Let the node go before deleting it (the table waits for every guard on
    // it).
    const std::uint64_t id = entry->id();
    entry.release();
    retire(id);
    return {};
}

}  // namespace halvorn
