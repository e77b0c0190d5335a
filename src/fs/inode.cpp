#include "fs/inode.hpp"

namespace halvorn {

static_assert(sizeof(INode) <= 72, "a node's common part should stay within 72 bytes");
static_assert(sizeof(FileNode) <= 120, "an empty file should stay within 120 bytes");

void INodeDeleter::operator()(INode* node) const {
    switch (node->kind()) {
        case INodeKind::File:
            delete static_cast<FileNode*>(node);
            break;
        case INodeKind::Directory:
            delete static_cast<DirectoryNode*>(node);
            break;
        case INodeKind::Symlink:
            delete static_cast<SymlinkNode*>(node);
            break;
    }
}

}  // namespace halvorn
