// Turning names and paths into nodes, and nodes back into paths.
#include <algorithm>

#include "fs/file_system.hpp"
#include "fs/name_index.hpp"

namespace halvorn {

using sync::ReadLock;

namespace {
bool is_separator(char c) {
    return c == '/' || c == '\\';
}
}  // namespace

SplitPath split_last_separator(std::string_view path) {
    for (std::size_t at = path.size(); at-- > 0;) {
        if (is_separator(path[at])) return {path.substr(0, at), path.substr(at + 1)};
    }
    return {{}, path};
}

Result<std::uint64_t> FileSystem::find_inode_by_name_with_handle(const INode& dir,
                                                                 std::string_view name) const {
    if (name.empty() || name == ".") return dir.id();
    if (name == "..") return dir.parent();
    ReadLock hold(dir.kind_lock());
    if (!dir.is_directory()) return IoError::NotADirectory;
    IoError link_error = IoError::InodeNotFound;
    const INode* child = listed_child(dir.as_directory(), name, &link_error);
    if (child == nullptr) return link_error;
    return child->id();
}

Result<FileSystem::Found> FileSystem::lookup_child(const INode& dir, std::string_view name) const {
    if (dir.is_directory() && !name.empty() && name != "." && name != "..") {
        ReadLock hold(dir.kind_lock());
        IoError link_error = IoError::InodeNotFound;
        INode* child = listed_child(dir.as_directory(), name, &link_error);
        if (child == nullptr) return link_error;
        // Pinned straight from the list while the directory's lock keeps it
        // listed, with no table lookup; only a link is followed further.
        if (!child->is_symlink()) return Found{child->id(), INodeGuard::pin_listed(child)};
        const std::uint64_t listed = child->id();
        auto node = resolve(listed);
        if (!node) return node.error();
        return Found{listed, std::move(*node)};
    }
    auto listed = find_inode_by_name_with_handle(dir, name);
    if (!listed) return listed.error();
    auto node = resolve(*listed);
    if (!node) return node.error();
    return Found{*listed, std::move(*node)};
}

Result<FileSystem::Found> FileSystem::find_in(std::uint64_t dir, std::string_view name) const {
    auto guard = resolve(dir);
    if (!guard) return guard.error();
    return lookup_child(**guard, name);
}

Result<std::uint64_t> FileSystem::find_inode_by_name(std::uint64_t dir,
                                                     std::string_view name) const {
    auto guard = resolve(dir);
    if (!guard) return guard.error();
    return find_inode_by_name_with_handle(**guard, name);
}

Result<INodeGuard> FileSystem::get_inode_by_path(std::string_view path) const {
    auto current = resolve(kRootId);
    if (!current) return current.error();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        const std::string_view component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        // The next node is pinned before the current one is let go, so the
        // walk always holds a node of the path.
        if (component == "..") {
            auto parent = resolve((*current)->parent());
            if (!parent) return parent.error();
            *current = std::move(*parent);
        } else {
            auto found = lookup_child(**current, component);
            if (!found) return found.error();
            *current = std::move(found->node);
        }
    }
    return current;
}

Result<std::string> FileSystem::get_path_by_inode(std::uint64_t id) const {
    if (id == kRootId) return std::string("/");
    // The whole walk holds the name lock, so that a rename cannot move a
    // node above it between two steps: the path is one that existed. Each
    // step goes to the directory that lists the node, one level up, so the
    // walk ends after at most the depth limit.
    std::vector<std::string> names;
    {
        ReadLock hold(names_lock_);
        for (std::uint64_t current = id;;) {
            auto node = resolve(current);
            if (!node) return node.error();
            names.emplace_back((*node)->name());
            current = (*node)->parent();
            if (current == kRootId) break;
        }
    }
    std::string path;
    std::for_each(names.rbegin(), names.rend(), [&](const std::string& name) {
        path += '/';
        path += name;
    });
    return path;
}

Result<bool> FileSystem::is_file_raw(std::uint64_t id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    return !(*node)->is_directory();
}

Result<bool> FileSystem::is_directory_raw(std::uint64_t id) const {
    auto node = resolve(id);
    if (!node) return node.error();
    return (*node)->is_directory();
}

}  // namespace halvorn
