// Creating empty files and directories by path, and listing a directory.
#include "fs/file_system.hpp"

namespace halvorn {

Status FileSystem::mkdir(std::string_view path) {
    return create_at_path(path, INodeKind::Directory);
}

Status FileSystem::touch(std::string_view path) {
    return create_at_path(path, INodeKind::File);
}

namespace {

// Collects a listing: names that are not directories, then directories.
struct ListingBuilder {
    Listing listing;
    void operator()(std::string_view name, bool is_directory) {
        (is_directory ? listing.directories : listing.files).emplace_back(name);
    }
};

}  // namespace

Result<Listing> FileSystem::ls(std::string_view path) const {
    ListingBuilder builder;
    Status listed = visit_entries(path, builder);
    if (!listed) return listed.error();
    return std::move(builder.listing);
}

Result<Listing> FileSystem::ls_of(const INode& dir) const {
    ListingBuilder builder;
    Status listed = visit_entries_of(dir, builder);
    if (!listed) return listed.error();
    return std::move(builder.listing);
}

Result<Listing> FileSystem::ls_raw(std::uint64_t id) const {
    ListingBuilder builder;
    Status listed = visit_entries_raw(id, builder);
    if (!listed) return listed.error();
    return std::move(builder.listing);
}

}  // namespace halvorn
