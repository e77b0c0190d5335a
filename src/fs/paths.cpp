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
    const DirectoryNode& directory = dir.as_directory();
    if (directory.link_count == 0) {
        // Without links every child is known under its own name, which the
        // list's index finds directly. A listed child is always in the table.
        const INode* child = directory.children.find(NameKey(name));
        if (child == nullptr) return IoError::InodeNotFound;
        return child->id();
    }
    // A link is known under the name of the node it leads to, so look at the
    // children one by one, in order. One that does not resolve is passed
    // over, as name_taken passes over it, so that an entry listed after a
    // dangling link can still be found; a name found nowhere fails as the
    // first child that did not resolve did, if one did.
    Result<std::uint64_t> found = IoError::InodeNotFound;
    bool unresolved = false;
    bool done = false;
    directory.children.for_each([&](const INode* child) {
        if (done) return;
        auto target = resolve(child->id());
        if (!target) {
            if (!unresolved) found = target.error();
            unresolved = true;
        } else if ((*target)->name() == name) {
            found = child->id();
            done = true;
        }
    });
    return found;
}

Result<FileSystem::Found> FileSystem::lookup_child(const INode& dir, std::string_view name) const {
    if (dir.is_directory() && !name.empty() && name != "." && name != "..") {
        ReadLock hold(dir.kind_lock());
        const DirectoryNode& directory = dir.as_directory();
        if (directory.link_count == 0) {
            // The common case: pin the child straight from the index while
            // the directory's lock keeps it listed, with no table lookup.
            INode* child = directory.children.find(NameKey(name));
            if (child == nullptr) return IoError::InodeNotFound;
            return Found{child->id(), INodeGuard::pin_listed(child)};
        }
    }
    auto listed = find_inode_by_name_with_handle(dir, name);
    if (!listed) return listed.error();
    auto node = resolve(*listed);
    if (!node) return node.error();
    return Found{*listed, std::move(*node)};
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
    // Each step goes to a node created before the one it started from, at a
    // smaller depth, so the walk ends after at most the depth limit.
    std::vector<std::string> names;
    for (std::uint64_t current = id;;) {
        auto node = resolve(current);
        if (!node) return node.error();
        names.emplace_back((*node)->name());
        current = (*node)->parent();
        if (current == kRootId) break;
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
