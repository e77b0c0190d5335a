// The indented outline of a directory's subtree, built while other threads
// change it.
//
// Each directory's entries are copied under its kind lock (shared), and a
// subdirectory is looked at again under its parent's lock before its line is
// written: one that went, or moved away, since its parent was listed is left
// out, as a listing taken a moment later would leave it out. So the outline
// is a sequence of listings, each whole, and it fails only when the path it
// starts from does not lead to a directory.
#include <vector>

#include "fs/file_system.hpp"

namespace halvorn {

using sync::ReadLock;

namespace {

// One entry of a listed directory, as the listing shows it: a link under the
// name and kind of the node it leads to.
struct OutlineEntry {
    std::uint64_t id;  // as listed: a link's own id
    std::string name;
    bool is_directory;
    bool is_link;
};
using OutlineEntries = std::vector<OutlineEntry>;

}  // namespace

class FileSystem::Outliner {
public:
    Outliner(const FileSystem& fs, std::string_view prefix) : fs_(fs), prefix_(prefix) {}

    // The entries of `dir`; the caller holds its kind lock.
    void copy_entries(const INode& dir, OutlineEntries& entries) const {
        dir.as_directory().children.for_each([&](const INode* child) {
            if (!child->is_symlink()) {
                entries.push_back(
                    {child->id(), std::string(child->name()), child->is_directory(), false});
                return;
            }
            auto target = fs_.resolve(child->id());
            if (!target) return;  // leads nowhere: not listed
            ReadLock names(fs_.names_lock_);
            entries.push_back(
                {child->id(), std::string((*target)->name()), (*target)->is_directory(), true});
        });
    }

    // Appends the outline of `dir`, whose entries were copied as `entries`;
    // `level` counts the directories above it in this outline.
    Status append(const INode& dir, const OutlineEntries& entries, std::uint32_t level) {
        // Only a link back up can lead deeper than the depth limit.
        if (level > kMaxDepth) return IoError::MaxRecursionDepthExceeded;
        const std::size_t prefix_size = prefix_.size();
        for (const OutlineEntry& entry : entries) {
            if (!entry.is_directory) continue;
            OutlineEntries below;
            INodeGuard child = still_listed(dir, entry, below);
            if (!child) continue;
            out_.append(prefix_).append(entry.name).append("/\n");
            prefix_.append("  ");
            Status outlined = append(*child, below, level + 1);
            prefix_.resize(prefix_size);
            if (!outlined) return outlined;
        }
        for (const OutlineEntry& entry : entries) {
            if (!entry.is_directory) out_.append(prefix_).append(entry.name).append("\n");
        }
        return {};
    }

    std::string& text() { return out_; }

private:
    // The directory `entry` names, if `dir` still lists it as it did, with
    // its own entries copied into `below`; null if it went or moved away.
    INodeGuard still_listed(const INode& dir, const OutlineEntry& entry,
                            OutlineEntries& below) const {
        INodeGuard child;
        if (entry.is_link) {
            // What a link leads to is listed elsewhere: only whether it is
            // still there counts.
            auto target = fs_.resolve(entry.id);
            if (!target || !(*target)->is_directory()) return {};
            child = std::move(*target);
        } else {
            child = fs_.inodes_.get(entry.id);
            if (!child) return {};
            // Under the directory's lock no rename moves the child in or out
            // and its name stays; a directory, then its child, as ever.
            ReadLock hold(dir.kind_lock());
            if (child->parent() != dir.id() || child->name() != entry.name) return {};
            ReadLock child_hold(child->kind_lock());
            if (child->as_directory().removed) return {};
            copy_entries(*child, below);
            return child;
        }
        ReadLock child_hold(child->kind_lock());
        if (child->as_directory().removed) return {};
        copy_entries(*child, below);
        return child;
    }

    const FileSystem& fs_;
    std::string prefix_;
    std::string out_;
};

Result<std::string> FileSystem::outline(std::string_view path, std::string_view prefix) const {
    Outliner outliner(*this, prefix);
    OutlineEntries entries;
    INodeGuard top;
    // A directory replaced by a rename since the walk is looked up again:
    // the path then leads to the one that replaced it.
    while (!top) {
        auto found = get_inode_by_path(path);
        if (!found) return found.error();
        ReadLock hold((*found)->kind_lock());
        if (!(*found)->is_directory()) return IoError::NotADirectory;
        if ((*found)->as_directory().removed) continue;
        outliner.copy_entries(**found, entries);
        top = std::move(*found);
    }
    Status done = outliner.append(*top, entries, 0);
    if (!done) return done.error();
    return std::move(outliner.text());
}

}  // namespace halvorn
