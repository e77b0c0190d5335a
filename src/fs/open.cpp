// Opening files by path and by id.
#include "fs/file_system.hpp"

namespace halvorn {

Result<FileHandle> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                    FileHandleType type, bool create) {
    const SplitPath split = split_last_separator(path);
    auto parent = fs->get_inode_by_path(split.parent);
    if (!parent) return parent.error();
    auto found = fs->lookup_child(**parent, split.name);
    if (found) return FileHandle::attach(std::move(fs), found->listed_id, *found->node, type);
    if (!create || found.error() != IoError::InodeNotFound) return found.error();
    auto created = fs->create_held_file(*parent, split.name, type);
    if (!created) {
        if (created.error() != IoError::ResourceAlreadyExists) return created.error();
        // Another thread created the name since the lookup: open what it
        // made. A name that is not valid is refused as before.
        auto made = fs->lookup_child(**parent, split.name);
        if (!made) return created.error();
        return FileHandle::attach(std::move(fs), made->listed_id, *made->node, type);
    }
    parent->release();
    // Created with its lock held: a removal racing this open finds the file
    // in use instead of taking it away before the handle exists.
    const std::uint64_t id = (*created)->id();
    return FileHandle::adopt(std::move(fs), id, **created, type);
}

Result<FileHandle> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, std::uint64_t id,
                                        FileHandleType type) {
    auto is_file = fs->is_file_raw(id);
    if (!is_file) return is_file.error();
    if (!*is_file) return IoError::NotAFile;
    return FileHandle::create(std::move(fs), id, type);
}

}  // namespace halvorn
