// What a node is, how big and how old, for stat.
#include "fs/file_system.hpp"

namespace halvorn {

Result<NodeStatus> FileSystem::stat(std::string_view path) const {
    auto node = get_inode_by_path(path);
    if (!node) return node.error();
    const INode& found = **node;
    NodeStatus status{found.id(), found.is_directory(), 0, found.created_ns(),
                      found.modified_ns()};
    if (found.is_file()) {
        // The kind lock, not the file's lock word: a writer holds the word
        // for as long as its handle is open, but the kind lock only while a
        // write copies, so this waits at most for one write.
        sync::ReadLock hold(found.kind_lock());
        status.size = found.as_file().data.size();
        status.modified_ns = found.modified_ns();
    }
    return status;
}

}  // namespace halvorn
