// The one error type of the file system core. Every fallible core operation
// returns its value or an IoError; the terminal folds the message into its
// replies and the Python module raises it as ValueError.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace halvorn {

class IoError {
public:
    // Declaration order is the kind's ordinal; do not reorder.
    enum class Kind : std::uint8_t {
        InodeNotFound,
        NotADirectory,
        NotAFile,
        NotASymlink,
        MaxRecursionDepthExceeded,
        ResourceAlreadyExists,
        DirectoryIsNotEmpty,
        ResourceCurrentInUse,
        UnrecognizedFileMode,
        OperationNotSupported,
        InvalidFileDescriptor,
        // Kinds added after the first eleven, appended so that no ordinal moves.
        MoveIntoOwnSubtree,
        RootCannotBeMoved,
        NoSpaceLeft,
        NoNodesLeft,
        NameTooLong,
    };
    // The kinds by their own names (IoError::InodeNotFound); a `using enum`
    // would say the same but trips g++ 12 inside templates.
    static constexpr Kind InodeNotFound = Kind::InodeNotFound;
    static constexpr Kind NotADirectory = Kind::NotADirectory;
    static constexpr Kind NotAFile = Kind::NotAFile;
    static constexpr Kind NotASymlink = Kind::NotASymlink;
    static constexpr Kind MaxRecursionDepthExceeded = Kind::MaxRecursionDepthExceeded;
    static constexpr Kind ResourceAlreadyExists = Kind::ResourceAlreadyExists;
    static constexpr Kind DirectoryIsNotEmpty = Kind::DirectoryIsNotEmpty;
    static constexpr Kind ResourceCurrentInUse = Kind::ResourceCurrentInUse;
    static constexpr Kind UnrecognizedFileMode = Kind::UnrecognizedFileMode;
    static constexpr Kind OperationNotSupported = Kind::OperationNotSupported;
    static constexpr Kind InvalidFileDescriptor = Kind::InvalidFileDescriptor;
    static constexpr Kind MoveIntoOwnSubtree = Kind::MoveIntoOwnSubtree;
    static constexpr Kind RootCannotBeMoved = Kind::RootCannotBeMoved;
    static constexpr Kind NoSpaceLeft = Kind::NoSpaceLeft;
    static constexpr Kind NoNodesLeft = Kind::NoNodesLeft;
    static constexpr Kind NameTooLong = Kind::NameTooLong;

    static constexpr int kKindCount = 16;

    constexpr IoError(Kind kind) : kind_(kind) {}  // NOLINT: a kind is an error

    // The refused operation is always a constant of the program ("read" or
    // "write"), so a view of static text is enough and the error stays a
    // trivially copyable value.
    static constexpr IoError operation_not_supported(std::string_view operation) {
        IoError error(OperationNotSupported);
        error.operation_ = operation;
        return error;
    }

    constexpr Kind kind() const { return kind_; }
    constexpr std::string_view operation() const { return operation_; }

    // The display form: the fixed message, with the operation appended for
    // OperationNotSupported.
    std::string message() const;
    // The kind's name, as used where an error is printed as a value.
    std::string diagnostic() const;

    // The message of a kind without payload; for OperationNotSupported only
    // the fixed prefix.
    static std::string_view base_message(Kind kind);
    static std::string_view kind_name(Kind kind);

    friend constexpr bool operator==(const IoError& a, const IoError& b) {
        return a.kind_ == b.kind_ && a.operation_ == b.operation_;
    }

private:
    Kind kind_;
    std::string_view operation_;
};

// Writes the diagnostic form, for test failures and debugging.
std::ostream& operator<<(std::ostream& out, const IoError& error);

}  // namespace halvorn
