// Creating empty files and directories by path, and listing a directory.
#include "fs/file_system.hpp"
#include "fs/small_vector.hpp"

namespace halvorn {

using sync::ReadLock;

Status FileSystem::create_at_path(std::string_view path, INodeKind kind) {
    const SplitPath split = split_last_separator(path);
    std::uint64_t parent;
    {
        auto guard = get_inode_by_path(split.parent);
        if (!guard) return guard.error();
        parent = (*guard)->id();
    }
    auto created = create_inode(parent, split.name, kind);
    if (!created) return created.error();
    return {};
}

Status FileSystem::mkdir(std::string_view path) {
    return create_at_path(path, INodeKind::Directory);
}

Status FileSystem::touch(std::string_view path) {
    return create_at_path(path, INodeKind::File);
}

Result<Listing> FileSystem::ls(std::string_view path) const {
    std::uint64_t id;
    {
        auto guard = get_inode_by_path(path);
        if (!guard) return guard.error();
        id = (*guard)->id();
    }
    return ls_raw(id);
}

Result<Listing> FileSystem::ls_raw(std::uint64_t id) const {
    // Take a snapshot of the ids and let the directory go before visiting
    // the children, so that no directory stays locked while names are copied.
    SmallVector<std::uint64_t, ChildList::kInline> ids;
    {
        auto dir = resolve(id);
        if (!dir) return dir.error();
        ReadLock hold((*dir)->kind_lock());
        if (!(*dir)->is_directory()) return IoError::NotADirectory;
        (*dir)->as_directory().children.for_each(
            [&](const INode* child) { ids.push_back(child->id()); });
    }
    Listing listing;
    for (std::uint64_t child_id : ids) {
        // A child removed since the snapshot is simply not listed.
        auto child = resolve(child_id);
        if (!child) continue;
        auto& names = (*child)->is_directory() ? listing.directories : listing.files;
        names.emplace_back((*child)->name());
    }
    return listing;
}

}  // namespace halvorn
