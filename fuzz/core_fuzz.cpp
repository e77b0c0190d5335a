// Runs a sequence of core operations, decoded from the input, on one file
// system with limits drawn from a hash of the input, and checks after each
// step that the tree holds together, that the usage counts what the tree holds
// within the limits, that every lock word is what the open handles imply, that
// reads return what a model of each file's bytes says, that a limit refuses
// only what would pass it, and that no id is handed out twice. The encoding
// is described in README.md beside this file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fs/hashing.hpp"
#include "fuzz_check.hpp"

namespace halvorn::fuzzing {
namespace {

constexpr std::size_t kMaxSteps = 200;
constexpr std::size_t kMaxBytes = 4096;
constexpr std::size_t kMaxHandles = 16;
constexpr std::size_t kMaxKnown = 1024;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Names that collide often, plus the ones the core must refuse.
constexpr std::string_view kNames[] = {
    "a",  "b",   "c",    "d",        "",          ".",
    "..", "a/b", "x\\y", "\xc3\xa9", "two words", "a-name-longer-than-the-inline-room",
};
constexpr std::string_view kModes[] = {"", "r", "w", "rw", "wr", "rr", "R", "r+", "ww", "a"};
constexpr std::uint64_t kAmounts[] = {0, 1, 2, 5, 31, 33, 4096, kMax, kMax - 1, kMax / 2 + 1};

// Each limit absent or one of a few sizes, from bits of a hash of the whole
// input: a mutation of any byte draws new limits, and the operations decode
// as they would without them.
Limits draw_limits(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < size; ++i)
        h = mix64(h ^ data[i]);
    constexpr std::uint64_t kBytes[] = {1, 31, 40, 300, 5000, 70000};
    constexpr std::uint64_t kNodes[] = {1, 2, 5, 20, 200};
    constexpr std::uint64_t kNameLengths[] = {1, 2, 24, 25};
    auto pick = [&](const auto& sizes, int shift) -> std::optional<std::uint64_t> {
        const std::uint64_t b = (h >> shift) & 0xFF;
        // About half the runs leave each limit out.
        if (b < 128) return std::nullopt;
        return sizes[b % std::size(sizes)];
    };
    return {pick(kBytes, 0), pick(kNodes, 8), pick(kNameLengths, 16)};
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    // Past the end every byte reads as zero, so a short input still decodes.
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string_view text(std::size_t length) {
        length = std::min(length, size_ - std::min(at_, size_));
        std::string_view taken(reinterpret_cast<const char*>(data_) + at_, length);
        at_ += length;
        return taken;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct OpenFile {
    FileHandle handle;
    std::uint64_t file;    // the node whose lock the handle holds (links followed)
    std::uint64_t offset;  // where the handle should stand
};

class Session {
public:
    explicit Session(const Limits& limits) : fs_(FileSystem::create(limits)) {}
    void step(Input& in);
    void check() const;
    void finish() const { require_render(*fs_); }

private:
    std::uint64_t pick_id(Input& in) const {
        const std::uint8_t b = in.byte();
        if (b == 0xFF) return kMax;
        // Ids not handed out yet: links may point there and come alive later.
        if (b >= 0xF0) return fs_->next_inode_id() + (b & 0x0F);
        return known_[b % known_.size()];
    }
    static std::string pick_name(Input& in) {
        const std::uint8_t b = in.byte();
        if (b >= 0xC0) return std::string(in.text(b & 0x3F));
        return std::string(kNames[b % std::size(kNames)]);
    }
    static std::string pick_path(Input& in) {
        const std::uint8_t shape = in.byte();
        const std::uint8_t seps = in.byte();
        std::string path;
        if (shape & 0x08) path += (seps & 0x80) ? '\\' : '/';
        for (int i = 0; i < std::min(shape & 7, 4); ++i) {
            if (i != 0) path += (seps >> i) & 1 ? '\\' : '/';
            path += pick_name(in);
        }
        if (shape & 0x10) path += '/';
        return path;
    }
    // The mode, or nothing when the string is refused (as it must be exactly
    // when it is not one of the five accepted spellings).
    static std::optional<FileHandleType> pick_mode(Input& in) {
        const std::string_view mode = kModes[in.byte() % std::size(kModes)];
        auto type = FileHandleType::from_str(mode);
        const bool accepted = mode.size() <= 2 && mode.find_first_not_of("rw") == mode.npos &&
                              mode != "rr" && mode != "ww";
        require(type.ok() == accepted, "mode parsing", mode);
        if (!type) return std::nullopt;
        return *type;
    }
    OpenFile* pick_handle(Input& in) {
        const std::uint8_t b = in.byte();
        return handles_.empty() ? nullptr : handles_[b % handles_.size()].get();
    }

    // A fresh id from a successful creation: above every earlier one.
    void handed_out(std::uint64_t id) {
        require(id > last_id_, "ids increase", std::to_string(id));
        require(id < fs_->next_inode_id(), "id below the next one", std::to_string(id));
        require(seen_.insert(id).second, "id handed out twice", std::to_string(id));
        last_id_ = id;
        known_.push_back(id);
    }
    // The id a path creation took: it does not report it, but it took the
    // last id handed out, and the node bears the last name of the path.
    void created_at(std::string_view path) {
        const std::uint64_t id = fs_->next_inode_id() - 1;
        INodeGuard node = fs_->inodes().get(id);
        require(node && node->name() == split_last_separator(path).name, "created node", path);
        handed_out(id);
    }
    void adopt(FileHandle handle, FileHandleType type) {
        require(handle.is_open() && handle.offset() == 0 && handle.type() == type, "a new handle");
        auto file = fs_->get_inode_raw(*handle.id());
        require(file.ok(), "a handle's file resolves");
        INodeGuard node = fs_->inodes().get(*file);
        require(node && node->is_file(), "a handle holds a file");
        if (handles_.size() == kMaxHandles) {
            require(handle.close().ok(), "close");
            return;
        }
        handles_.push_back(std::make_unique<OpenFile>(OpenFile{std::move(handle), *file, 0}));
    }
    // The lock word that the open handles imply for `file`.
    std::int64_t holders(std::uint64_t file) const {
        std::int64_t readers = 0, writers = 0;
        for (const auto& open : handles_) {
            if (!open->handle.is_open() || open->file != file) continue;
            (open->handle.type().can_write() ? writers : readers) += 1;
        }
        if (writers == 0) return readers;
        require(writers == 1 && readers == 0, "one writer alone holds a file",
                std::to_string(file));
        return FileLock::WRITE_EXCLUSIVE;
    }
    std::vector<std::uint8_t>& contents(std::uint64_t file) { return contents_[file]; }
    // A creation the limits refused must have passed one: a name too long, or
    // no node left. Other refusals are judged where they happen.
    void refused_creation(const IoError& error, std::string_view name) const {
        const Limits& limits = fs_->usage().limits();
        if (error == IoError::NameTooLong)
            require(limits.max_name_length && name.size() > *limits.max_name_length,
                    "a name refused as too long", name);
        if (error == IoError::NoNodesLeft)
            require(limits.max_nodes && fs_->usage().nodes() >= *limits.max_nodes,
                    "a node refused with room left", name);
    }

    void open_by_path(Input& in);
    void open_by_id(Input& in);
    void read(Input& in);
    void write(Input& in);
    void seek(Input& in);
    void list(Input& in);
    void remove(Input& in);
    void names(Input& in);
    void kinds(Input& in);

    std::shared_ptr<FileSystem> fs_;
    std::vector<std::uint64_t> known_{kRootId};
    std::set<std::uint64_t> seen_;
    std::uint64_t last_id_ = 0;
    bool links_ = false;
    std::map<std::uint64_t, std::vector<std::uint8_t>> contents_;
    // Declared last: handles close before the model they are checked against goes.
    std::vector<std::unique_ptr<OpenFile>> handles_;
};

void Session::step(Input& in) {
    const int op = in.byte() % 16;
    switch (op) {
        case 0: {
            const std::uint64_t parent = pick_id(in);
            const std::string name = pick_name(in);
            const INodeKind kind = in.byte() & 1 ? INodeKind::Directory : INodeKind::File;
            // The node records the directory it is listed in, which is
            // `parent` with its links followed.
            auto directory = fs_->get_inode_raw(parent);
            auto made = fs_->create_inode(parent, name, kind);
            if (!made) return refused_creation(made.error(), name);
            handed_out(*made);
            INodeGuard node = fs_->inodes().get(*made);
            require(directory && node && node->name() == name && node->parent() == *directory &&
                        node->kind() == kind,
                    "created node", name);
            return;
        }
        case 1:
        case 2: {
            const std::string path = pick_path(in);
            Status made = op == 1 ? fs_->mkdir(path) : fs_->touch(path);
            if (made) return created_at(path);
            return refused_creation(made.error(), split_last_separator(path).name);
        }
        case 3: {
            const std::uint64_t parent = pick_id(in);
            const std::string name = pick_name(in);
            auto made = fs_->create_symlink(parent, name, pick_id(in));
            if (!made) return refused_creation(made.error(), name);
            handed_out(*made);
            links_ = true;
            return;
        }
        case 4:
            return open_by_path(in);
        case 5:
            return open_by_id(in);
        case 6:
            return read(in);
        case 7:
            return write(in);
        case 8:
            return seek(in);
        case 9: {
            OpenFile* open = pick_handle(in);
            if (open == nullptr) return;
            if (in.byte() & 1) {
                // Dropping a handle closes it.
                std::erase_if(handles_, [&](const auto& held) { return held.get() == open; });
                return;
            }
            const bool was_open = open->handle.is_open();
            Status closed = open->handle.close();
            require(was_open ? closed.ok() : closed.error() == IoError::InvalidFileDescriptor,
                    "close");
            return;
        }
        case 10:
        case 11:
            return list(in);
        case 12:
            return remove(in);
        case 13:
            return names(in);
        case 14:
            return kinds(in);
        default: {
            // Many entries at once, so that directories index their names
            // and the table grows; bounded so that the checks stay cheap.
            const std::uint64_t parent = pick_id(in);
            const std::uint8_t prefix = in.byte();
            const int count = in.byte() % 64 + 1;
            for (int i = 0; i < count && known_.size() < kMaxKnown; ++i) {
                const std::string name = std::to_string(prefix) + "-" + std::to_string(i);
                auto made = fs_->create_inode(parent, name,
                                              i % 4 == 0 ? INodeKind::Directory : INodeKind::File);
                if (made)
                    handed_out(*made);
                else
                    refused_creation(made.error(), name);
            }
            return;
        }
    }
}

void Session::open_by_path(Input& in) {
    const std::string path = pick_path(in);
    const bool create = in.byte() & 1;
    auto type = pick_mode(in);
    if (!type) return;
    const std::uint64_t before = fs_->next_inode_id();
    auto opened = FileSystem::open(fs_, path, *type, create);
    if (!opened) return refused_creation(opened.error(), split_last_separator(path).name);
    if (fs_->next_inode_id() != before) {
        require(create && *opened->id() == before, "open created the file it opened", path);
        created_at(path);
    }
    adopt(std::move(*opened), *type);
}

void Session::open_by_id(Input& in) {
    const std::uint64_t id = pick_id(in);
    auto type = pick_mode(in);
    if (!type) return;
    auto file = fs_->get_inode_raw(id);
    auto opened = FileSystem::open_raw(fs_, id, *type);
    if (opened) {
        require(file.ok() && *opened->id() == id, "open_raw opened what the id names");
        return adopt(std::move(*opened), *type);
    }
    if (opened.error() == IoError::ResourceCurrentInUse) {
        require(file.ok(), "a file in use resolves");
        const std::int64_t word = holders(*file);
        require(type->can_write() ? word != 0 : word < 0, "open refused without a conflict");
    }
}

void Session::read(Input& in) {
    OpenFile* open = pick_handle(in);
    if (open == nullptr) return;
    const std::size_t size = (in.byte() | in.byte() << 8) % (kMaxBytes + 1);
    std::vector<std::uint8_t> buffer(size, 0xA5);
    auto readable = open->handle.readable(size);
    auto got = open->handle.read(buffer);
    if (!open->handle.is_open()) {
        require(got.error() == IoError::InvalidFileDescriptor, "read after close");
        return;
    }
    if (!open->handle.type().can_read()) {
        require(got.error() == IoError::operation_not_supported("read"), "read refused");
        return;
    }
    const std::vector<std::uint8_t>& bytes = contents(open->file);
    const std::size_t count = std::min<std::size_t>(size, bytes.size() - open->offset);
    require(got.ok() && *got == count && readable.ok() && *readable == count, "read count");
    require(std::equal(buffer.begin(), buffer.begin() + count, bytes.begin() + open->offset),
            "read bytes");
    require(std::all_of(buffer.begin() + count, buffer.end(), [](auto b) { return b == 0xA5; }),
            "read leaves the rest of the buffer");
    open->offset += count;
    require(open->handle.offset() == open->offset, "offset after read");
}

void Session::write(Input& in) {
    OpenFile* open = pick_handle(in);
    if (open == nullptr) return;
    const std::size_t size = (in.byte() | in.byte() << 8) % (kMaxBytes + 1);
    const std::uint8_t first = in.byte();
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    // The least room the write can take: growth without spare room.
    std::uint64_t need = 0;
    if (open->handle.is_open()) {
        INodeGuard node = fs_->inodes().get(open->file);
        const FileData& data = node->as_file().data;
        need = data.room_to_write(open->offset, size, false);
    }
    const std::uint64_t used = fs_->usage().bytes();
    auto wrote = open->handle.write(bytes);
    if (!open->handle.is_open()) {
        require(wrote.error() == IoError::InvalidFileDescriptor, "write after close");
        return;
    }
    if (!open->handle.type().can_write()) {
        require(wrote.error() == IoError::operation_not_supported("write"), "write refused");
        return;
    }
    if (!wrote && wrote.error() == IoError::NoSpaceLeft) {
        // Refused whole: the model stays, and the reads check the file did.
        const auto limit = fs_->usage().limits().max_bytes;
        require(limit && need > *limit - used, "a write refused with room left");
        require(fs_->usage().bytes() == used, "a refused write changed the usage");
        return;
    }
    require(wrote.ok() && *wrote == size, "write count");
    std::vector<std::uint8_t>& model = contents(open->file);
    if (model.size() < open->offset + size) model.resize(open->offset + size, 0);
    std::copy(bytes.begin(), bytes.end(), model.begin() + open->offset);
    require(open->handle.offset() == open->offset, "write leaves the offset");
}

void Session::seek(Input& in) {
    OpenFile* open = pick_handle(in);
    if (open == nullptr) return;
    const std::uint8_t how = in.byte();
    const auto origin = static_cast<SeekOrigin>(how % 3);
    const std::uint64_t amount = how & 0x80 ? in.byte() : kAmounts[in.byte() % std::size(kAmounts)];
    Status sought = open->handle.seek(origin, amount);
    if (!open->handle.is_open()) {
        require(sought.error() == IoError::InvalidFileDescriptor, "seek after close");
        return;
    }
    require(sought.ok(), "seek");
    const std::uint64_t size = contents(open->file).size();
    std::uint64_t position = amount;
    if (origin == SeekOrigin::End) position = amount > size ? 0 : size - amount;
    if (origin == SeekOrigin::Current)
        position = amount > kMax - open->offset ? kMax : open->offset + amount;
    open->offset = std::min(position, size);
    require(open->handle.offset() == open->offset, "offset after seek");
}

// Listings by path and by id, copied and visited, must agree.
void Session::list(Input& in) {
    const bool by_path = in.byte() & 1;
    Listing visited;
    auto collect = [&](std::string_view name, bool is_directory) {
        (is_directory ? visited.directories : visited.files).emplace_back(name);
    };
    Result<Listing> listed = Listing{};
    Status seen;
    std::uint64_t id = 0;
    if (by_path) {
        const std::string path = pick_path(in);
        listed = fs_->ls(path);
        seen = fs_->visit_entries(path, collect);
        if (auto node = fs_->get_inode_by_path(path)) {
            id = (*node)->id();
        } else {
            require(!listed.ok(), "ls of a path that does not resolve", path);
            return;
        }
    } else {
        id = pick_id(in);
        listed = fs_->ls_raw(id);
        seen = fs_->visit_entries_raw(id, collect);
    }
    require(listed.ok() == seen.ok(), "ls and visit agree");
    if (!listed) {
        require(listed.error() == seen.error(), "ls and visit fail alike");
        return;
    }
    require(listed->files == visited.files && listed->directories == visited.directories,
            "ls and visit list alike");
    auto again = fs_->ls_raw(id);
    require(
        again.ok() && again->files == listed->files && again->directories == listed->directories,
        "ls by path and by id agree");
}

void Session::remove(Input& in) {
    const bool by_path = in.byte() & 1;
    const bool recurse = in.byte() & 1;
    Result<std::uint64_t> target = IoError::InodeNotFound;
    Status removed;
    if (by_path) {
        const std::string path = pick_path(in);
        // The guard goes before the removal: a node that its remover pins
        // could never leave the table.
        if (auto node = fs_->get_inode_by_path(path)) target = (*node)->id();
        removed = fs_->rm(path, recurse);
    } else {
        const std::uint64_t id = pick_id(in);
        target = fs_->get_inode_raw(id);
        removed = fs_->rm_raw(id, recurse);
    }
    if (!removed) return;
    require(target.ok(), "removed what does not resolve");
    if (*target != kRootId)
        require(!fs_->inodes().get(*target), "a removed node leaves the table",
                std::to_string(*target));
}

void Session::names(Input& in) {
    const std::uint64_t id = pick_id(in);
    auto raw = fs_->get_inode_raw(id);
    auto path = fs_->get_path_by_inode(id);
    if (path) {
        require(id == kRootId || raw.ok(), "a path of an id that does not resolve");
        require(path->starts_with('/') && (*path == "/" || !path->ends_with('/')), "path form",
                *path);
        // With links about, a name can find a link listed before the node.
        if (!links_) {
            auto back = fs_->get_inode_by_path(*path);
            require(back && (*back)->id() == (id == kRootId ? kRootId : *raw),
                    "a node's path leads back to it", *path);
        }
    } else {
        // Every ancestor outlives its children, so a node that resolves has a path.
        require(!raw.ok(), "a node that resolves has a path", std::to_string(id));
    }
    const std::string name = pick_name(in);
    auto found = fs_->find_inode_by_name(id, name);
    if (!found) return;
    require(raw.ok(), "a name found in what does not resolve");
    if (name.empty() || name == ".") {
        require(*found == *raw, "\"\" and \".\" name the node itself");
    } else if (name == "..") {
        INodeGuard node = fs_->inodes().get(*raw);
        require(node && *found == node->parent(), "\"..\" names the parent");
    } else {
        auto child = fs_->resolve(*found);
        require(child && (*child)->name() == name, "a name finds a node of that name", name);
    }
}

void Session::kinds(Input& in) {
    const std::uint64_t id = pick_id(in);
    auto raw = fs_->get_inode_raw(id);
    auto is_file = fs_->is_file_raw(id);
    auto is_directory = fs_->is_directory_raw(id);
    require(raw.ok() == is_file.ok() && raw.ok() == is_directory.ok(), "kind tests resolve");
    if (!raw) return;
    require(*is_file != *is_directory, "a node is a file or a directory");
    INodeGuard node = fs_->inodes().get(*raw);
    require(node && !node->is_symlink() && node->is_directory() == *is_directory,
            "kind tests tell the kind");
    auto by_path = fs_->get_inode_by_path(pick_path(in));
    if (by_path) require(!(*by_path)->is_symlink(), "a path ends past every link");
}

void Session::check() const {
    require_tree(*fs_);
    require(fs_->next_inode_id() > last_id_, "next id");
    for (const auto& open : handles_) {
        if (!open->handle.is_open()) continue;
        INodeGuard node = fs_->inodes().get(open->file);
        require(node && node->is_file(), "a file held open stays", std::to_string(open->file));
    }
    require_locks(*fs_, [&](std::uint64_t file) { return holders(file); });
}

}  // namespace
}  // namespace halvorn::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    halvorn::fuzzing::Input in(data, size);
    halvorn::fuzzing::Session session(halvorn::fuzzing::draw_limits(data, size));
    for (std::size_t steps = 0; steps < halvorn::fuzzing::kMaxSteps && !in.done(); ++steps) {
        session.step(in);
        session.check();
    }
    session.finish();
    return 0;
}
