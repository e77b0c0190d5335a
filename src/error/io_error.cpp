#include "error/io_error.hpp"

#include <array>
#include <ostream>

namespace halvorn {

namespace {

struct KindText {
    std::string_view name;
    std::string_view message;
};

constexpr std::array<KindText, IoError::kKindCount> kKindTexts{{
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
    {"MoveIntoOwnSubtree", "Cannot move a directory into its own subtree"},
    {"RootCannotBeMoved", "The root directory cannot be moved or replaced"},
    {"NoSpaceLeft", "No space left on file system"},
    {"NoNodesLeft", "No nodes left on file system"},
    {"NameTooLong", "File name too long"},
}};

}  // namespace

std::string_view IoError::base_message(Kind kind) {
    return kKindTexts[static_cast<std::size_t>(kind)].message;
}

std::string_view IoError::kind_name(Kind kind) {
    return kKindTexts[static_cast<std::size_t>(kind)].name;
}

std::string IoError::message() const {
    std::string text(base_message(kind_));
    if (kind_ == OperationNotSupported) text += operation_;
    return text;
}

std::string IoError::diagnostic() const {
    std::string text(kind_name(kind_));
    if (kind_ == OperationNotSupported) {
        text += "(\"";
        text += operation_;
        text += "\")";
    }
    return text;
}

std::ostream& operator<<(std::ostream& out, const IoError& error) {
    return out << error.diagnostic();
}

}  // namespace halvorn
