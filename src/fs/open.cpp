// Opening files by path and by id.
#include "fs/file_system.hpp"

namespace halvorn {

namespace {

// A file a removal has claimed is on its way out of the table, and no open
// can ever take it again: for an open it is already gone.
bool is_going(const INode& node) {
    return node.is_file() && node.as_file().lock.value() == FileLock::DELETING;
}

}  // namespace

Result<FileHandle> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                    FileHandleType type, Creation creation) {
    const SplitPath split = split_last_separator(path);
    auto parent = fs->get_inode_by_path(split.parent);
    if (!parent) return parent.error();
    // Each round ends with a final answer unless another thread changed the
    // name between its steps: made it after the lookup, or is taking away
    // the file the lookup found. Then the name is looked at again, so that
    // an open that may create never fails for a name that is free.
    for (sync::Backoff backoff;; backoff.pause()) {
        auto found = fs->lookup_child(**parent, split.name);
        if (found) {
            // A file on its way out is unlinked in a moment, by its removal
            // or by the rename that replaces it: the name is then free, or
            // holds the file that replaced it.
            if (is_going(*found->node)) continue;
            if (creation == Creation::Exclusive) return IoError::ResourceAlreadyExists;
            auto opened = FileHandle::attach(fs, found->listed_id, *found->node, type);
            if (opened || !is_going(*found->node)) return opened;
            continue;
        }
        if (creation == Creation::Never || found.error() != IoError::InodeNotFound)
            return found.error();
        auto created = fs->create_held_file(*parent, split.name, type);
        if (created) {
            parent->release();
            // Created with its lock held: a removal racing this open finds
            // the file in use instead of taking it away before the handle
            // exists.
            const std::uint64_t id = (*created)->id();
            return FileHandle::adopt(std::move(fs), id, **created, type);
        }
        // "Already exists" for a name that cannot be created at all is the
        // final answer; for a free-looking name it means another thread made
        // it since the lookup.
        if (created.error() != IoError::ResourceAlreadyExists || !is_valid_name(split.name) ||
            creation == Creation::Exclusive)
            return created.error();
    }
}

Result<FileHandle> FileSystem::open_in(std::shared_ptr<FileSystem> fs, std::uint64_t dir,
                                       std::string_view name, FileHandleType type) {
    auto parent = fs->resolve(dir);
    if (!parent) return parent.error();
    const INode& node = **parent;
    if (!node.is_directory() || name.empty() || name == "." || name == "..") {
        // The node itself or its parent, which no list here names.
        auto found = fs->lookup_child(node, name);
        if (!found) return found.error();
        return FileHandle::attach(std::move(fs), found->listed_id, *found->node, type);
    }
    // A rename or removal of the name needs the directory exclusive, so the
    // file found here is still listed when its lock is taken.
    sync::ReadLock hold(node.kind_lock());
    IoError link_error = IoError::InodeNotFound;
    INode* child = fs->listed_child(node.as_directory(), name, &link_error);
    if (child == nullptr) return link_error;
    const std::uint64_t listed = child->id();
    if (!child->is_symlink()) return FileHandle::attach(std::move(fs), listed, *child, type);
    auto target = fs->resolve(listed);
    if (!target) return target.error();
    return FileHandle::attach(std::move(fs), listed, **target, type);
}

Result<FileHandle> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, std::uint64_t id,
                                        FileHandleType type) {
    auto is_file = fs->is_file_raw(id);
    if (!is_file) return is_file.error();
    if (!*is_file) return IoError::NotAFile;
    return FileHandle::create(std::move(fs), id, type);
}

}  // namespace halvorn
