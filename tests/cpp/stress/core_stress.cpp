// Many threads doing random operations on one file system for a while, then
// a check that the tree, the lock words and the table are still whole.
//
//   halvorn_core_stress [--threads N] [--seconds T] [--seed S]
//
// The threads share a small name space (three levels of three directories
// and four files each), so that they keep meeting on the same nodes: one
// creates what another removes, lists or opens. Every result is checked
// against what the operation may answer; besides, ids are never handed out
// twice and only renames move a node, and they move only to and from the
// names kept for them ("m0", "m1"), so whatever a thread has learned about an
// id (its path, unless a name kept for renames is on it, its kind, that it
// was removed) must stay true for good, and a file that a thread holds open
// can be neither removed nor opened against its lock. Writers fill a whole file with one repeated
// byte, so a reader that sees two different bytes has seen a write half done.
//
// Now and then every thread pauses and the main thread checks the quiet
// tree, including that each file's lock word counts exactly the handles
// that the threads hold on it and that the usage counts what the tree holds.
// Every other seed runs with limits on bytes and nodes drawn from it, small
// enough that the threads keep meeting them. A watchdog ends a run that takes 30 s longer
// than asked for as a suspected deadlock.
//
// Exit status: 0 clean, 1 violations found, 2 suspected deadlock, 64 usage.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "error/internal_fault.hpp"
#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = IoError::Kind;

// ---------------------------------------------------------------------------
// Operations, and the error kinds each may answer.

enum Op : int {
    kMkdir,
    kTouch,
    kCreateInode,
    kOpen,
    kOpenRaw,
    kRead,
    kWrite,
    kSeek,
    kClose,
    kLs,
    kLsRaw,
    kVisit,
    kRm,
    kRmRaw,
    kPathOf,
    kFindByName,
    kByPath,
    kIsFile,
    kRename,
    kRender,
    kPublish,
    kOpCount
};

constexpr std::array<const char*, kOpCount> kOpNames = {
    "mkdir", "touch", "create_inode", "open",        "open_raw", "read",   "write",
    "seek",  "close", "ls",           "ls_raw",      "visit",    "rm",     "rm_raw",
    "path",  "find",  "by_path",      "is_file_raw", "rename",   "render", "publish"};

// How often each operation is drawn; render walks the whole table and
// stays rare.
constexpr std::array<int, kOpCount> kWeights = {8, 6, 6, 12, 5, 8, 8, 5, 6, 6, 4,
                                                4, 6, 4, 5,  6, 8, 4, 6, 0, 6};
constexpr int kRenderOneIn = 4000;

constexpr std::uint32_t bit(Kind kind) {
    return 1u << static_cast<int>(kind);
}
template <class... Kinds>
constexpr std::uint32_t kinds(Kinds... each) {
    return (bit(each) | ...);
}

constexpr std::uint32_t kResolve = kinds(Kind::InodeNotFound, Kind::NotADirectory);
// Names take bytes of the budget, so under a byte limit a creation or a
// rename to a longer name may find no room for its name.
constexpr std::uint32_t kCreate =
    kResolve | kinds(Kind::ResourceAlreadyExists, Kind::NoNodesLeft, Kind::NoSpaceLeft);
// Opening may also create, and lose the creation to another thread.
constexpr std::uint32_t kOpenKinds = kCreate | kinds(Kind::NotAFile, Kind::ResourceCurrentInUse);
constexpr std::uint32_t kOpenRawKinds =
    kinds(Kind::InodeNotFound, Kind::NotAFile, Kind::ResourceCurrentInUse);
constexpr std::uint32_t kRemoveKinds =
    kResolve | kinds(Kind::DirectoryIsNotEmpty, Kind::ResourceCurrentInUse);
constexpr std::uint32_t kRemoveRawKinds =
    kinds(Kind::InodeNotFound, Kind::DirectoryIsNotEmpty, Kind::ResourceCurrentInUse);
constexpr std::uint32_t kNotFound = bit(Kind::InodeNotFound);
constexpr std::uint32_t kRenameKinds =
    kResolve | kinds(Kind::NotAFile, Kind::DirectoryIsNotEmpty, Kind::ResourceCurrentInUse,
                     Kind::MoveIntoOwnSubtree, Kind::MaxRecursionDepthExceeded, Kind::NoSpaceLeft);

// ---------------------------------------------------------------------------
// The name space.

constexpr std::array<std::string_view, 3> kDirNames = {"d0", "d1", "d2"};
constexpr std::array<std::string_view, 4> kFileNames = {"f0", "f1", "f2", "f3"};
// The names renames move nodes to and from, files and directories alike.
constexpr std::array<std::string_view, 2> kMoveNames = {"m0", "m1"};
// Paths are made no deeper than this; only renames take a subtree lower.
constexpr std::uint32_t kLevels = 3;

bool in_name_space(std::string_view name) {
    return std::find(kDirNames.begin(), kDirNames.end(), name) != kDirNames.end() ||
           std::find(kFileNames.begin(), kFileNames.end(), name) != kFileNames.end() ||
           std::find(kMoveNames.begin(), kMoveNames.end(), name) != kMoveNames.end();
}

// Whether a node at `path` stays there until it is removed: no name on the
// path is one that renames move.
bool is_fixed(std::string_view path) {
    for (std::string_view name : kMoveNames) {
        for (std::size_t at = path.find(name); at != path.npos; at = path.find(name, at + 1)) {
            const bool starts = at == 0 || path[at - 1] == '/';
            const bool ends = at + name.size() == path.size() || path[at + name.size()] == '/';
            if (starts && ends) return false;
        }
    }
    return true;
}

std::string join(const std::vector<std::string_view>& names) {
    if (names.empty()) return "/";
    std::string path;
    for (std::string_view name : names) {
        path += '/';
        path += name;
    }
    return path;
}

std::string child_path(const std::string& dir, std::string_view name) {
    return (dir == "/" ? std::string() : dir) + "/" + std::string(name);
}

std::string parent_path(const std::string& path) {
    const std::size_t cut = path.rfind('/');
    return cut == 0 || cut == std::string::npos ? "/" : path.substr(0, cut);
}

// Whether `path` is `top` or lies below it.
bool is_under(const std::string& path, const std::string& top) {
    if (top == "/") return true;
    return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                           path[top.size()] == '/');
}

// ---------------------------------------------------------------------------
// Shared state.

struct Violations {
    std::mutex mutex;
    std::vector<std::string> first;
    std::size_t count = 0;

    void add(std::string what) {
        std::lock_guard lock(mutex);
        if (first.size() < 100) first.push_back(std::move(what));
        ++count;
    }
};

// Ids that some thread met lately, for the operations that take ids.
class RecentIds {
public:
    void push(std::uint64_t id) {
        ids_[next_.fetch_add(1, std::memory_order_relaxed) % ids_.size()].store(
            id, std::memory_order_relaxed);
    }
    std::uint64_t pick(std::mt19937_64& random) const {
        return ids_[random() % ids_.size()].load(std::memory_order_relaxed);
    }

private:
    std::array<std::atomic<std::uint64_t>, 256> ids_{};
    std::atomic<std::uint64_t> next_{0};
};

// Every thread stops between two operations while the main thread checks
// the tree: an odd generation asks the threads to stop, and each counts
// itself in `arrived` and waits for the generation to move on.
struct Pause {
    std::atomic<std::uint64_t> generation{0};
    std::atomic<int> arrived{0};
};

struct Shared {
    explicit Shared(const Limits& limits) : fs(FileSystem::create(limits)) {}
    std::shared_ptr<FileSystem> fs;
    // Where the threads publish by renames that removals race (Worker::publish):
    // a file system of its own, which no removal of the root empties.
    std::shared_ptr<FileSystem> published = FileSystem::create();
    Violations violations;
    RecentIds recent;
    Pause pause;
    std::atomic<bool> stop{false};
};

// ---------------------------------------------------------------------------
// One thread.

struct Counts {
    std::uint64_t ok = 0;
    std::array<std::uint64_t, IoError::kKindCount> failed{};
};

enum class KnownKind : std::uint8_t { Unknown, File, Directory };

struct Known {
    std::string path;  // empty where a rename may move the node
    KnownKind kind;
};

// A handle this thread holds, and what it knows of the file meanwhile:
// nobody else can change the contents while the handle is open.
struct Held {
    FileHandle handle;
    std::uint64_t id;
    std::optional<std::string> path;
    // Once seen, fixed for as long as the handle is open.
    std::optional<std::uint64_t> size;
    std::optional<std::uint8_t> fill;  // unknown while the file is empty
};

constexpr std::size_t kMaxHeld = 3;
constexpr std::size_t kMaxKnown = 8192;
constexpr std::size_t kMaxRemoved = 256;

class Worker {
public:
    Worker(Shared& shared, int index, std::uint64_t seed)
        : shared_(shared), fs_(*shared.fs), index_(index), random_(seed) {
        known_[kRootId] = {"/", KnownKind::Directory};
    }

    void run();

    std::uint64_t operations() const { return operations_; }
    const std::array<Counts, kOpCount>& counts() const { return counts_; }
    const std::vector<std::unique_ptr<Held>>& held() const { return held_; }
    // The paths this thread has published at, which must be there for good.
    const std::set<std::string>& published() const { return published_; }
    int current_op() const { return current_op_.load(std::memory_order_relaxed); }

private:
    void step();
    void wait_while_paused();
    void close_all();

    // Draws.
    std::size_t below(std::size_t n) { return random_() % n; }
    bool one_in(std::size_t n) { return below(n) == 0; }
    std::string_view pick_name(bool directory);
    std::vector<std::string_view> pick_components(bool last_is_directory);
    std::string spell(const std::vector<std::string_view>& names);
    FileHandleType pick_mode();
    // An id to work on, and whether it is known to be removed.
    std::pair<std::uint64_t, bool> pick_id();
    Held* pick_held(bool (*fits)(const Held&));

    // Outcome bookkeeping; false when the error is one the op may answer.
    void record_ok() { ++counts_[op_].ok; }
    bool record_error(const IoError& error, std::uint32_t allowed, const std::string& context);
    void violation(const std::string& what);

    // What the thread has learned.
    void learn(std::uint64_t id, const std::string& path, KnownKind kind);
    const Known* known(std::uint64_t id) const;
    void removed(std::uint64_t id);
    void check_not_holding_below(const std::string& top, const std::string& context);

    // The operations.
    void create_by_path(bool directory);
    void create_inode();
    void open_by_path();
    void open_by_id();
    void keep(FileHandle handle, std::uint64_t id, std::optional<std::string> path);
    void read_held();
    void write_held();
    void seek_held();
    void close_held();
    bool read_all(Held& held, const std::string& context);
    void list(bool by_path);
    void visit();
    void check_listing(const std::vector<std::string>& names, const std::string& context);
    void remove_by_path();
    void remove_by_id();
    void path_of();
    void find_by_name();
    void by_path();
    void is_file();
    void rename();
    void publish();
    void render();

    Shared& shared_;
    FileSystem& fs_;
    const int index_;
    std::mt19937_64 random_;
    Op op_ = kMkdir;
    std::atomic<int> current_op_{-1};
    std::uint64_t operations_ = 0;
    std::array<Counts, kOpCount> counts_{};
    std::vector<std::unique_ptr<Held>> held_;
    std::set<std::string> published_;
    std::unordered_map<std::uint64_t, Known> known_;
    std::vector<std::uint64_t> removed_;
    std::size_t next_removed_ = 0;
    // Ids from one counter: each creation of this thread gets a larger one.
    std::uint64_t last_created_ = 0;
};

void Worker::violation(const std::string& what) {
    shared_.violations.add("thread " + std::to_string(index_) + ", " + kOpNames[op_] + ": " + what);
}

bool Worker::record_error(const IoError& error, std::uint32_t allowed, const std::string& context) {
    ++counts_[op_].failed[static_cast<int>(error.kind())];
    if (allowed & bit(error.kind())) return true;
    violation(context + " failed with " + error.diagnostic());
    return false;
}

void Worker::learn(std::uint64_t id, const std::string& found_at, KnownKind kind) {
    shared_.recent.push(id);
    const std::string path = is_fixed(found_at) ? found_at : std::string();
    auto [it, added] = known_.try_emplace(id, Known{path, kind});
    if (added) {
        if (known_.size() > kMaxKnown) {
            known_.clear();
            known_[kRootId] = {"/", KnownKind::Directory};
        }
        return;
    }
    // A node keeps its name and parent but for renames, and its id is never
    // reused.
    if (it->second.path != path)
        violation("id " + std::to_string(id) + " was " + it->second.path + ", now " + path);
    if (kind != KnownKind::Unknown && it->second.kind != KnownKind::Unknown &&
        kind != it->second.kind)
        violation("id " + std::to_string(id) + " changed its kind");
    if (it->second.kind == KnownKind::Unknown) it->second.kind = kind;
}

const Known* Worker::known(std::uint64_t id) const {
    auto it = known_.find(id);
    return it == known_.end() ? nullptr : &it->second;
}

void Worker::removed(std::uint64_t id) {
    if (id == kRootId) return;  // removing the root only empties it
    for (const auto& held : held_) {
        if (held->id == id) violation("removed file " + std::to_string(id) + " held open");
    }
    if (removed_.size() < kMaxRemoved)
        removed_.push_back(id);
    else
        removed_[next_removed_++ % kMaxRemoved] = id;
}

void Worker::check_not_holding_below(const std::string& top, const std::string& context) {
    for (const auto& held : held_) {
        if (held->path && is_under(*held->path, top))
            violation(context + " succeeded while " + *held->path + " is held open");
    }
}

std::string_view Worker::pick_name(bool directory) {
    // Now and then the other kind, so that files and directories also
    // collide on one name.
    if (one_in(10)) directory = !directory;
    if (one_in(6)) return kMoveNames[below(kMoveNames.size())];
    return directory ? kDirNames[below(kDirNames.size())] : kFileNames[below(kFileNames.size())];
}

std::vector<std::string_view> Worker::pick_components(bool last_is_directory) {
    std::vector<std::string_view> names;
    const std::size_t count = one_in(50) ? 0 : 1 + below(kLevels);
    for (std::size_t i = 0; i + 1 < count; ++i)
        names.push_back(kDirNames[below(kDirNames.size())]);
    if (count != 0) names.push_back(pick_name(last_is_directory));
    return names;
}

// One of the many spellings of a path: either separator, doubled ones, "."
// and "name/.." detours, with or without a leading separator.
std::string Worker::spell(const std::vector<std::string_view>& names) {
    auto separator = [&] { return one_in(8) ? '\\' : '/'; };
    std::string path;
    const std::size_t lead = below(10);
    if (lead < 7) path += '/';
    if (lead == 7) path += '\\';
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) path += separator();
        if (one_in(30)) path += std::string(".") + separator();
        if (one_in(30))
            path += std::string(kDirNames[below(kDirNames.size())]) + separator() + "..";
        if (one_in(40)) path += separator();
        if (!path.empty() && path.back() == '.') path += separator();
        path += names[i];
    }
    // A last name of "" or "." names the parent itself.
    if (!names.empty() && one_in(40)) path += one_in(2) ? "/" : "/.";
    return path;
}

FileHandleType Worker::pick_mode() {
    static constexpr std::array<std::string_view, 5> kModes = {"", "r", "w", "rw", "wr"};
    auto mode = FileHandleType::from_str(kModes[below(kModes.size())]);
    return *mode;
}

std::pair<std::uint64_t, bool> Worker::pick_id() {
    const std::size_t draw = below(20);
    if (draw < 2 && !removed_.empty()) return {removed_[below(removed_.size())], true};
    if (draw < 4) return {below(fs_.next_inode_id() + 1), false};  // one past the last, too
    if (draw < 5) return {kRootId, false};
    if (draw < 7 && !held_.empty()) return {held_[below(held_.size())]->id, false};
    return {shared_.recent.pick(random_), false};
}

Held* Worker::pick_held(bool (*fits)(const Held&)) {
    std::vector<Held*> fitting;
    for (const auto& held : held_) {
        if (fits(*held)) fitting.push_back(held.get());
    }
    return fitting.empty() ? nullptr : fitting[below(fitting.size())];
}

void Worker::run() {
    while (!shared_.stop.load(std::memory_order_relaxed)) {
        wait_while_paused();
        try {
            step();
        } catch (const InternalFault& fault) {
            violation("internal fault: " + fault.message());
        } catch (const std::exception& error) {
            violation(std::string("exception: ") + error.what());
        }
        ++operations_;
    }
    op_ = kClose;
    close_all();
    current_op_.store(-1, std::memory_order_relaxed);
}

void Worker::wait_while_paused() {
    const std::uint64_t generation = shared_.pause.generation.load(std::memory_order_acquire);
    if (generation % 2 == 0) return;
    current_op_.store(-1, std::memory_order_relaxed);
    shared_.pause.arrived.fetch_add(1, std::memory_order_acq_rel);
    shared_.pause.arrived.notify_all();
    shared_.pause.generation.wait(generation, std::memory_order_acquire);
}

void Worker::close_all() {
    for (const auto& held : held_) {
        try {
            Status closed = held->handle.close();
            if (!closed) violation("closing a held handle: " + closed.error().diagnostic());
        } catch (const InternalFault& fault) {
            violation("internal fault: " + fault.message());
        }
    }
    held_.clear();
}

void Worker::step() {
    if (one_in(kRenderOneIn)) {
        op_ = kRender;
    } else {
        static const int total = [] {
            int sum = 0;
            for (int weight : kWeights)
                sum += weight;
            return sum;
        }();
        int draw = static_cast<int>(below(total));
        int op = 0;
        while (draw >= kWeights[op])
            draw -= kWeights[op++];
        op_ = static_cast<Op>(op);
    }
    current_op_.store(op_, std::memory_order_relaxed);
    switch (op_) {
        case kMkdir:
            return create_by_path(true);
        case kTouch:
            return create_by_path(false);
        case kCreateInode:
            return create_inode();
        case kOpen:
            return open_by_path();
        case kOpenRaw:
            return open_by_id();
        case kRead:
            return read_held();
        case kWrite:
            return write_held();
        case kSeek:
            return seek_held();
        case kClose:
            return close_held();
        case kLs:
            return list(true);
        case kLsRaw:
            return list(false);
        case kVisit:
            return visit();
        case kRm:
            return remove_by_path();
        case kRmRaw:
            return remove_by_id();
        case kPathOf:
            return path_of();
        case kFindByName:
            return find_by_name();
        case kByPath:
            return by_path();
        case kIsFile:
            return is_file();
        case kRename:
            return rename();
        case kRender:
            return render();
        case kPublish:
            return publish();
        case kOpCount:
            break;
    }
}

void Worker::create_by_path(bool directory) {
    const std::string path = spell(pick_components(directory));
    Status created = directory ? fs_.mkdir(path) : fs_.touch(path);
    if (created)
        record_ok();
    else
        record_error(created.error(), kCreate, path);
}

void Worker::create_inode() {
    auto [parent, gone] = pick_id();
    const Known* where = known(parent);
    // Only where this thread knows the depth, and never below the last
    // level, so that the tree stays small and the depth limit out of reach.
    const auto levels = where ? std::count(where->path.begin(), where->path.end(), '/') : 0;
    if (!gone && (!where || where->path.empty() ||
                  (where->path != "/" && levels >= static_cast<long>(kLevels)))) {
        parent = kRootId;
        where = known(kRootId);
    }
    const bool directory = one_in(2);
    const std::string_view name = pick_name(directory);
    const std::string context =
        "create_inode(" + std::to_string(parent) + ", " + std::string(name) + ")";
    auto id = fs_.create_inode(parent, name, directory ? INodeKind::Directory : INodeKind::File);
    if (!id) {
        record_error(id.error(), gone ? kNotFound : kCreate, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " succeeded in a removed directory");
    if (*id <= last_created_ || *id >= fs_.next_inode_id())
        violation(context + " gave id " + std::to_string(*id) + " after " +
                  std::to_string(last_created_));
    last_created_ = *id;
    if (known_.count(*id)) violation(context + " gave an id already met: " + std::to_string(*id));
    if (where && !where->path.empty())
        learn(*id, child_path(where->path, name),
              directory ? KnownKind::Directory : KnownKind::File);
    else
        shared_.recent.push(*id);
}

void Worker::open_by_path() {
    const auto names = pick_components(false);
    const std::string path = spell(names);
    const FileHandleType mode = pick_mode();
    const bool create = !one_in(5);
    auto handle = FileSystem::open(shared_.fs, path, mode, create);
    const std::string context = "open(" + path + ", " + mode.to_string() + ")";
    if (!handle) {
        std::uint32_t allowed =
            create ? kOpenKinds : kOpenKinds & ~bit(Kind::ResourceAlreadyExists);
        record_error(handle.error(), allowed, context);
        return;
    }
    record_ok();
    if (!handle->id() || handle->offset() != 0 || handle->type() != mode) {
        violation(context + " gave " + handle->to_string());
        return;
    }
    const std::uint64_t id = *handle->id();
    learn(id, join(names), KnownKind::File);
    std::optional<std::string> where;
    if (is_fixed(join(names))) where = join(names);
    keep(std::move(*handle), id, std::move(where));
}

void Worker::open_by_id() {
    auto [id, gone] = pick_id();
    const FileHandleType mode = pick_mode();
    const std::string context = "open_raw(" + std::to_string(id) + ", " + mode.to_string() + ")";
    // What this thread holds decides the answer: a writer of its own
    // refuses everyone, and a shared hold of its own admits other readers.
    bool mine_shared = false, mine_exclusive = false;
    for (const auto& held : held_) {
        if (held->id != id) continue;
        (held->handle.type().can_write() ? mine_exclusive : mine_shared) = true;
    }
    auto handle = FileSystem::open_raw(shared_.fs, id, mode);
    if (!handle) {
        std::uint32_t allowed = gone ? kNotFound : kOpenRawKinds;
        if (mine_exclusive || (mine_shared && mode.can_write()))
            allowed = bit(Kind::ResourceCurrentInUse);
        else if (mine_shared)
            allowed = 0;
        record_error(handle.error(), allowed, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " opened a removed file");
    if (mine_exclusive || (mine_shared && mode.can_write()))
        violation(context + " got past a handle this thread holds");
    const Known* where = known(id);
    if (where && where->kind == KnownKind::Directory) violation(context + " opened a directory");
    std::optional<std::string> path;
    if (where && !where->path.empty()) path = where->path;
    keep(std::move(*handle), id, path);
}

// Keeps a new handle (closing one first when this thread holds enough) and
// looks at the file at once.
void Worker::keep(FileHandle handle, std::uint64_t id, std::optional<std::string> path) {
    if (held_.size() >= kMaxHeld) {
        const std::size_t victim = below(held_.size());
        Status closed = held_[victim]->handle.close();
        if (!closed) violation("close: " + closed.error().diagnostic());
        held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(victim));
    }
    held_.push_back(std::make_unique<Held>(Held{std::move(handle), id, std::move(path), {}, {}}));
    Held& held = *held_.back();
    if (held.handle.type().can_read()) read_all(held, "first read of " + std::to_string(id));
}

// Reads the whole file through `held` and checks that it is one byte
// repeated and, when known, the same as before. False on a violation.
bool Worker::read_all(Held& held, const std::string& context) {
    FileHandle& handle = held.handle;
    Status to_end = handle.seek(SeekOrigin::End, 0);
    Status to_start = handle.seek(SeekOrigin::Start, 0);
    if (!to_end || !to_start) {
        violation(context + ": seek failed");
        return false;
    }
    std::vector<std::uint8_t> contents;
    std::vector<std::uint8_t> buffer(1 + below(700));
    for (;;) {
        auto count = handle.read(buffer);
        if (!count) {
            violation(context + ": read failed with " + count.error().diagnostic());
            return false;
        }
        if (*count == 0) break;
        contents.insert(contents.end(), buffer.begin(),
                        buffer.begin() + static_cast<std::ptrdiff_t>(*count));
    }
    if (handle.offset() != contents.size()) {
        violation(context + ": offset " + std::to_string(handle.offset()) + " after reading " +
                  std::to_string(contents.size()) + " bytes");
        return false;
    }
    const std::uint8_t first = contents.empty() ? 0 : contents[0];
    if (std::any_of(contents.begin(), contents.end(), [&](std::uint8_t b) { return b != first; })) {
        violation(context + ": torn contents of " + std::to_string(contents.size()) + " bytes");
        return false;
    }
    if ((held.size && *held.size != contents.size()) ||
        (held.fill && !contents.empty() && *held.fill != first)) {
        violation(context + ": contents changed under a held handle (" +
                  std::to_string(held.size.value_or(0)) + " x " +
                  std::to_string(held.fill.value_or(0)) + " became " +
                  std::to_string(contents.size()) + " x " + std::to_string(first) + ")");
        return false;
    }
    held.size = contents.size();
    if (!contents.empty()) held.fill = first;
    return true;
}

void Worker::read_held() {
    Held* held = pick_held([](const Held&) { return true; });
    if (!held) return;
    const std::string context = "read of " + std::to_string(held->id);
    if (held->handle.type().can_read()) {
        if (read_all(*held, context)) record_ok();
        return;
    }
    std::uint8_t byte;
    auto refused = held->handle.read({&byte, 1});
    if (refused)
        violation(context + " without READ succeeded");
    else if (refused.error() != IoError::operation_not_supported("read"))
        record_error(refused.error(), 0, context);
    else
        ++counts_[op_].failed[static_cast<int>(Kind::OperationNotSupported)];
}

void Worker::write_held() {
    Held* held = pick_held([](const Held&) { return true; });
    if (!held) return;
    FileHandle& handle = held->handle;
    const std::string context = "write of " + std::to_string(held->id);
    if (!handle.type().can_write()) {
        auto refused = handle.write(std::vector<std::uint8_t>(3, 1));
        if (refused)
            violation(context + " without WRITE succeeded");
        else if (refused.error() != IoError::operation_not_supported("write"))
            record_error(refused.error(), 0, context);
        else
            ++counts_[op_].failed[static_cast<int>(Kind::OperationNotSupported)];
        return;
    }
    // Fill the whole file, in a few pieces; files never shrink, so the new
    // length is at least the old one. Past 32 bytes a file moves off the
    // node, so both sizes come up.
    if (!handle.seek(SeekOrigin::End, 0)) return violation(context + ": seek failed");
    const std::uint64_t old_size = handle.offset();
    if (held->size && *held->size != old_size)
        return violation(context + ": a held file changed its size");
    const std::uint64_t size =
        std::max<std::uint64_t>(old_size, one_in(50) ? below(8192) : below(300));
    const auto fill = static_cast<std::uint8_t>(1 + below(255));
    // Under a byte limit the file takes its new size first, by one write of
    // its new tail: a growth refused there changes nothing, and the pieces
    // after it never grow the file, so no refusal can leave it half filled.
    if (size > old_size && fs_.usage().limits().max_bytes) {
        if (!handle.seek(SeekOrigin::End, 0)) return violation(context + ": seek failed");
        auto grown = handle.write(std::vector<std::uint8_t>(size - old_size, fill));
        if (!grown) {
            record_error(grown.error(), bit(Kind::NoSpaceLeft), context);
            if (!handle.seek(SeekOrigin::End, 0) || handle.offset() != old_size)
                violation(context + ": a refused write changed the size");
            return;
        }
    }
    if (!handle.seek(SeekOrigin::Start, 0)) return violation(context + ": seek failed");
    std::uint64_t done = 0;
    while (done < size || size == 0) {
        const std::uint64_t piece = std::min<std::uint64_t>(size - done, 1 + below(size + 1));
        auto written = handle.write(std::vector<std::uint8_t>(piece, fill));
        if (!written || *written != piece)
            return violation(context + ": write of " + std::to_string(piece) + " bytes failed");
        if (handle.offset() != done) return violation(context + ": a write moved the offset");
        if (!handle.seek(SeekOrigin::Current, piece) || handle.offset() != done + piece)
            return violation(context + ": offset " + std::to_string(handle.offset()) +
                             " after a write of " + std::to_string(piece) + " at " +
                             std::to_string(done));
        done += piece;
        if (size == 0) break;
    }
    held->size = size;
    if (size != 0) held->fill = fill;
    if (handle.type().can_read() && !read_all(*held, context + ", read back")) return;
    record_ok();
}

void Worker::seek_held() {
    Held* held = pick_held([](const Held&) { return true; });
    if (!held) return;
    FileHandle& handle = held->handle;
    const std::string context = "seek on " + std::to_string(held->id);
    const std::uint64_t before = handle.offset();
    if (!handle.seek(SeekOrigin::End, 0)) return violation(context + " failed");
    const std::uint64_t size = handle.offset();
    if (held->size && size != *held->size)
        return violation(context + ": size " + std::to_string(size) + " of a held file was " +
                         std::to_string(*held->size));
    held->size = size;
    if (!handle.seek(SeekOrigin::Start, std::min(before, size)))
        return violation(context + " failed");
    static constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t amount = one_in(5) ? kMax - below(3) : below(size + 20);
    const auto origin = static_cast<SeekOrigin>(below(3));
    const std::uint64_t at = handle.offset();
    std::uint64_t expected = 0;
    switch (origin) {
        case SeekOrigin::Start:
            expected = std::min(amount, size);
            break;
        case SeekOrigin::End:
            expected = amount > size ? 0 : size - amount;
            break;
        case SeekOrigin::Current:
            expected = amount > kMax - at ? size : std::min(at + amount, size);
            break;
    }
    Status moved = handle.seek(origin, amount);
    if (!moved) return violation(context + " failed with " + moved.error().diagnostic());
    if (handle.offset() != expected)
        return violation(context + ": offset " + std::to_string(handle.offset()) + ", expected " +
                         std::to_string(expected));
    record_ok();
}

void Worker::close_held() {
    if (held_.empty()) return;
    const std::size_t which = below(held_.size());
    FileHandle& handle = held_[which]->handle;
    const std::string context = "close of " + std::to_string(held_[which]->id);
    Status closed = handle.close();
    if (!closed) {
        record_error(closed.error(), 0, context);
    } else {
        record_ok();
        // A closed handle refuses everything.
        std::uint8_t byte = 0;
        const IoError invalid = IoError::InvalidFileDescriptor;
        auto read = handle.read({&byte, 1});
        auto written = handle.write({&byte, 1});
        Status sought = handle.seek(SeekOrigin::Start, 0);
        Status again = handle.close();
        if (read || read.error() != invalid || written || written.error() != invalid || sought ||
            sought.error() != invalid || again || again.error() != invalid || handle.is_open())
            violation(context + ": a closed handle still answers");
    }
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(which));
}

void Worker::check_listing(const std::vector<std::string>& names, const std::string& context) {
    std::set<std::string_view> seen;
    for (const std::string& name : names) {
        if (!seen.insert(name).second) violation(context + " lists " + name + " twice");
        if (!in_name_space(name)) violation(context + " lists a stranger: " + name);
    }
}

void Worker::list(bool by_path) {
    std::string context;
    Result<Listing> listing = IoError::InodeNotFound;
    std::uint32_t allowed = kResolve;
    if (by_path) {
        const std::string path = spell(pick_components(true));
        context = "ls(" + path + ")";
        listing = fs_.ls(path);
    } else {
        auto [id, gone] = pick_id();
        context = "ls_raw(" + std::to_string(id) + ")";
        listing = fs_.ls_raw(id);
        if (gone) allowed = kNotFound;
        const Known* where = known(id);
        if (listing && where && where->kind == KnownKind::File) violation(context + " of a file");
        if (listing && gone) violation(context + " of a removed directory");
    }
    if (!listing) {
        record_error(listing.error(), allowed, context);
        return;
    }
    record_ok();
    std::vector<std::string> names = listing->files;
    names.insert(names.end(), listing->directories.begin(), listing->directories.end());
    check_listing(names, context);
}

void Worker::visit() {
    std::vector<std::string> names;
    auto collect = [&](std::string_view name, bool) { names.emplace_back(name); };
    std::string context;
    Status visited;
    std::uint32_t allowed = kResolve;
    if (one_in(2)) {
        const std::string path = spell(pick_components(true));
        context = "visit_entries(" + path + ")";
        visited = fs_.visit_entries(path, collect);
    } else {
        auto [id, gone] = pick_id();
        context = "visit_entries_raw(" + std::to_string(id) + ")";
        visited = fs_.visit_entries_raw(id, collect);
        if (gone) allowed = kNotFound;
    }
    if (!visited) {
        record_error(visited.error(), allowed, context);
        return;
    }
    record_ok();
    check_listing(names, context);
}

void Worker::remove_by_path() {
    // The root rarely: emptying the whole tree is a big step.
    std::vector<std::string_view> names = pick_components(one_in(2));
    if (names.empty() && !one_in(100)) names = {kDirNames[below(kDirNames.size())]};
    const std::string path = spell(names);
    const bool recurse = one_in(3);
    const std::string context = std::string("rm(") + path + (recurse ? ", recurse)" : ")");
    Status removed = fs_.rm(path, recurse);
    if (!removed) {
        record_error(removed.error(), kRemoveKinds, context);
        return;
    }
    record_ok();
    check_not_holding_below(join(names), context);
}

void Worker::remove_by_id() {
    auto [id, gone] = pick_id();
    const bool recurse = one_in(3);
    if (id == kRootId && !one_in(100)) return;
    const std::string context = "rm_raw(" + std::to_string(id) + (recurse ? ", recurse)" : ")");
    bool mine = false;
    for (const auto& held : held_)
        mine |= held->id == id;
    Status result = fs_.rm_raw(id, recurse);
    if (!result) {
        std::uint32_t allowed = gone ? kNotFound : kRemoveRawKinds;
        // A file this thread holds open cannot go.
        if (mine) allowed = bit(Kind::ResourceCurrentInUse);
        record_error(result.error(), allowed, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " removed an id already removed");
    if (const Known* where = known(id); where && !where->path.empty())
        check_not_holding_below(where->path, context);
    removed(id);
}

void Worker::path_of() {
    // Mostly ids whose path this thread knows; a held file's must resolve.
    Held* held = one_in(3) ? pick_held([](const Held& h) { return h.path.has_value(); }) : nullptr;
    auto [id, gone] = pick_id();
    if (held) id = held->id, gone = false;
    const std::string context = "get_path_by_inode(" + std::to_string(id) + ")";
    auto path = fs_.get_path_by_inode(id);
    if (!path) {
        record_error(path.error(), held ? 0 : kNotFound, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " found a removed node at " + *path);
    const Known* where = known(id);
    if (where && !where->path.empty() && where->path != *path)
        violation(context + " is " + *path + ", known as " + where->path);
    if (!where) learn(id, *path, KnownKind::Unknown);
}

void Worker::find_by_name() {
    auto [dir, gone] = pick_id();
    static constexpr std::array<std::string_view, 3> kSpecial = {"", ".", ".."};
    const std::string_view name =
        one_in(8) ? kSpecial[below(kSpecial.size())] : pick_name(one_in(2));
    const std::string context =
        "find_inode_by_name(" + std::to_string(dir) + ", \"" + std::string(name) + "\")";
    auto found = fs_.find_inode_by_name(dir, name);
    if (!found) {
        record_error(found.error(), gone ? kNotFound : kResolve, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " looked inside a removed node");
    const Known* where = known(dir);
    if (!where || where->path.empty()) return;
    const std::string dir_path = where->path;  // learn() may clear the registry
    const KnownKind dir_kind = where->kind;
    if (name.empty() || name == ".") {
        if (*found != dir) violation(context + " gave " + std::to_string(*found));
    } else if (name == "..") {
        learn(*found, parent_path(dir_path), KnownKind::Directory);
    } else {
        if (dir_kind == KnownKind::File) violation(context + " found a child of a file");
        learn(*found, child_path(dir_path, name), KnownKind::Unknown);
    }
}

void Worker::by_path() {
    const auto names = pick_components(one_in(2));
    const std::string path = spell(names);
    const std::string context = "get_inode_by_path(" + path + ")";
    std::uint64_t id;
    bool directory;
    {
        auto guard = fs_.get_inode_by_path(path);
        if (!guard) {
            record_error(guard.error(), kResolve, context);
            return;
        }
        record_ok();
        const INode& node = **guard;
        id = node.id();
        directory = node.is_directory();
        // A node a rename may move can have another name and depth by now.
        const std::string_view expected = names.empty() ? "" : names.back();
        if (is_fixed(join(names)) && (node.name() != expected || node.depth() != names.size()))
            violation(context + " reached " + std::string(node.name()) + " at depth " +
                      std::to_string(node.depth()));
    }
    learn(id, join(names), directory ? KnownKind::Directory : KnownKind::File);
}

void Worker::is_file() {
    auto [id, gone] = pick_id();
    const std::string context = "is_file_raw(" + std::to_string(id) + ")";
    bool mine = false;
    for (const auto& held : held_)
        mine |= held->id == id;
    auto answer = fs_.is_file_raw(id);
    if (!answer) {
        record_error(answer.error(), mine ? 0 : kNotFound, context);
        return;
    }
    record_ok();
    if (gone) violation(context + " found a removed node");
    if (mine && !*answer) violation(context + " says a held file is no file");
    const Known* where = known(id);
    if (where && where->kind != KnownKind::Unknown && (where->kind == KnownKind::File) != *answer)
        violation(context + " changed its answer");
}

// Moves a node from one of the names kept for renames to another, at any
// level: a file or a directory with its subtree, within a directory or
// between two, over a file or an empty directory there.
void Worker::rename() {
    auto moving = [&] {
        std::vector<std::string_view> names = pick_components(one_in(2));
        if (names.empty()) names.push_back({});
        // Through moved directories too, so that a directory meets its own
        // subtree as a target.
        for (std::string_view& name : names) {
            if (one_in(3)) name = kMoveNames[below(kMoveNames.size())];
        }
        names.back() = kMoveNames[below(kMoveNames.size())];
        return names;
    };
    const std::string from = spell(moving());
    const std::string to = spell(moving());
    const std::string context = "rename(" + from + ", " + to + ")";
    Status moved = fs_.rename(from, to);
    if (!moved) {
        record_error(moved.error(), kRenameKinds, context);
        return;
    }
    record_ok();
}

// The atomic replace, racing removals of the temporary name: a thread builds
// a file, or a directory holding a file, under a temporary name of its own
// and renames it over its own target, which only it touches; the other
// threads remove the temporary names. A removal takes what the name held or
// nothing, never what a rename put at a target, so every target a thread
// has published stays there, its file inside, until it replaces it itself.
void Worker::publish() {
    FileSystem& fs = *shared_.published;
    const bool directory = one_in(2);
    const bool remove = one_in(2);
    // The first four threads' temporary names are the ones removed.
    const std::string staged = std::string(directory ? "/staged-dir" : "/staged-file") +
                               std::to_string(remove ? below(4) : index_);
    const std::string context = "publish(" + staged + ")";
    if (remove) {
        Status removed = fs.rm(staged, true);
        if (!removed)
            record_error(removed.error(), kinds(Kind::InodeNotFound, Kind::DirectoryIsNotEmpty),
                         context);
        else
            record_ok();
        return;
    }
    const std::string target = std::string(directory ? "/dir" : "/file") + std::to_string(index_);
    if (published_.count(target) != 0) {
        if (!fs.stat(directory ? target + "/f" : target).ok())
            return violation(context + ": a removal took the published " + target);
    }
    if (!(directory ? fs.mkdir(staged).ok() && fs.touch(staged + "/f").ok()
                    : fs.touch(staged).ok()))
        return record_ok();  // another thread's, or removed meanwhile
    // A directory replaces only an empty one: the old one goes first.
    if (directory && published_.erase(target) != 0 && !fs.rm(target, true).ok())
        return violation(context + ": " + target + " went");
    Status moved = fs.rename(staged, target);
    if (!moved) {
        // Removed meanwhile, or being emptied by a removal just now.
        record_error(moved.error(), kinds(Kind::InodeNotFound, Kind::ResourceCurrentInUse),
                     context);
        return;
    }
    published_.insert(target);
    record_ok();
}

void Worker::render() {
    const std::string text = fs_.render();
    constexpr std::string_view kHead = "FileSystem { inodes: {";
    if (text.compare(0, kHead.size(), kHead) != 0 || text.find("next_inode_id: ") == text.npos ||
        text.back() != '}')
        violation("render gave: " + text.substr(0, 200));
    record_ok();
}

// ---------------------------------------------------------------------------
// Checks of a quiet file system.

// Everything that must hold while no thread is inside an operation; the
// lock word of every file must count exactly the handles held on it.
void check_quiet(Shared& shared, const std::vector<std::unique_ptr<Worker>>& workers,
                 const std::string& when) {
    FileSystem& fs = *shared.fs;
    std::string problem = testing::check_tree(fs);
    if (!problem.empty()) shared.violations.add(when + ": " + problem);
    problem = testing::check_tree(*shared.published);
    if (!problem.empty()) shared.violations.add(when + ": published: " + problem);
    for (const auto& worker : workers) {
        for (const std::string& target : worker->published()) {
            if (!shared.published->stat(target).ok())
                shared.violations.add(when + ": the published " + target + " is gone");
        }
    }

    std::map<std::uint64_t, std::int64_t> expected;
    for (const auto& worker : workers) {
        for (const auto& held : worker->held()) {
            std::int64_t& word = expected[held->id];
            if (held->handle.type().can_write())
                word = word == 0 ? FileLock::WRITE_EXCLUSIVE : -100;  // two holders: never
            else
                word = word < 0 ? -100 : word + 1;
        }
    }
    const std::uint64_t next_id = fs.next_inode_id();
    std::size_t held_found = 0;
    fs.inodes().for_each([&](const INode& node) {
        const std::string where = when + ": node " + std::to_string(node.id());
        if (node.id() >= next_id) shared.violations.add(where + " is past next_inode_id");
        // Renames may take a subtree below the levels paths are made at,
        // never below the limit.
        if (node.depth() > kMaxDepth) shared.violations.add(where + " is too deep");
        if (node.id() != kRootId && !in_name_space(node.name()))
            shared.violations.add(where + " has a stranger's name");
        if (!node.is_file()) {
            if (expected.count(node.id())) shared.violations.add(where + " is held but no file");
            return;
        }
        auto it = expected.find(node.id());
        const std::int64_t want = it == expected.end() ? 0 : it->second;
        held_found += it != expected.end();
        const std::int64_t word = node.as_file().lock.value();
        if (word != want)
            shared.violations.add(where + ": lock word " + std::to_string(word) + ", handles " +
                                  std::to_string(want));
    });
    if (held_found != expected.size())
        shared.violations.add(when + ": " + std::to_string(expected.size() - held_found) +
                              " held files are gone from the table");
}

// Stops every worker between two operations, runs the checks, lets them go.
// Returns how long the workers stood still.
Clock::duration checkpoint(Shared& shared, const std::vector<std::unique_ptr<Worker>>& workers,
                           int number) {
    const auto start = Clock::now();
    Pause& pause = shared.pause;
    const std::uint64_t generation = pause.generation.fetch_add(1, std::memory_order_acq_rel) + 1;
    const int count = static_cast<int>(workers.size());
    for (int seen = pause.arrived.load(std::memory_order_acquire); seen < count;
         seen = pause.arrived.load(std::memory_order_acquire))
        pause.arrived.wait(seen, std::memory_order_acquire);
    check_quiet(shared, workers, "checkpoint " + std::to_string(number));
    pause.arrived.store(0, std::memory_order_relaxed);
    pause.generation.store(generation + 1, std::memory_order_release);
    pause.generation.notify_all();
    return Clock::now() - start;
}

// ---------------------------------------------------------------------------
// The watchdog and the report.

class Watchdog {
public:
    Watchdog(Clock::duration limit, const std::vector<std::unique_ptr<Worker>>& workers)
        : thread_([this, limit, &workers] { watch(limit, workers); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    void watch(Clock::duration limit, const std::vector<std::unique_ptr<Worker>>& workers) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, limit, [this] { return done_; })) return;
        std::fprintf(stderr, "suspected deadlock: the run did not end in time\n");
        for (std::size_t i = 0; i < workers.size(); ++i) {
            const int op = workers[i]->current_op();
            std::fprintf(stderr, "  thread %zu: %s\n", i,
                         op < 0 ? "between operations" : kOpNames[op]);
        }
        std::fflush(stderr);
        std::_Exit(2);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

void print_outcomes(const std::vector<std::unique_ptr<Worker>>& workers) {
    std::printf("outcomes (ok, then failures by kind):\n");
    for (int op = 0; op < kOpCount; ++op) {
        Counts total;
        for (const auto& worker : workers) {
            const Counts& counts = worker->counts()[op];
            total.ok += counts.ok;
            for (int k = 0; k < IoError::kKindCount; ++k)
                total.failed[k] += counts.failed[k];
        }
        std::printf("  %-12s %10llu", kOpNames[op], static_cast<unsigned long long>(total.ok));
        for (int k = 0; k < IoError::kKindCount; ++k) {
            if (total.failed[k] == 0) continue;
            std::printf("  %s %llu", std::string(IoError::kind_name(static_cast<Kind>(k))).c_str(),
                        static_cast<unsigned long long>(total.failed[k]));
        }
        std::printf("\n");
    }
}

struct Options {
    int threads = 4;
    double seconds = 10;
    std::uint64_t seed = std::random_device{}();
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (i + 1 == argc) return std::nullopt;
        const char* value = argv[++i];
        char* end = nullptr;
        if (flag == "--threads") {
            const long threads = std::strtol(value, &end, 10);
            if (threads < 1 || threads > 256) return std::nullopt;
            options.threads = static_cast<int>(threads);
        } else if (flag == "--seconds") {
            options.seconds = std::strtod(value, &end);
            if (!(options.seconds > 0 && options.seconds <= 86400)) return std::nullopt;
        } else if (flag == "--seed") {
            options.seed = std::strtoull(value, &end, 10);
        } else {
            return std::nullopt;
        }
        if (end == value || *end != '\0') return std::nullopt;
    }
    return options;
}

// Odd seeds run without limits, even ones with a byte and a node limit drawn
// from the seed.
Limits draw_limits(std::uint64_t seed) {
    if (seed % 2 != 0) return {};
    std::mt19937_64 random(seed);
    return {.max_bytes = 2000 + random() % 50000, .max_nodes = 10 + random() % 60};
}

int run(const Options& options) {
    std::printf("halvorn_core_stress: %d threads, %g s, seed %llu\n", options.threads,
                options.seconds, static_cast<unsigned long long>(options.seed));
    const Limits limits = draw_limits(options.seed);
    if (limits.max_bytes)
        std::printf("limits: max_bytes %llu, max_nodes %llu\n",
                    static_cast<unsigned long long>(*limits.max_bytes),
                    static_cast<unsigned long long>(*limits.max_nodes));
    std::fflush(stdout);
    Shared shared(limits);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < options.threads; ++t)
        workers.push_back(std::make_unique<Worker>(shared, t, options.seed + 7919 * t));

    const auto run_time =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    Watchdog watchdog(run_time + std::chrono::seconds(30), workers);

    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& worker : workers)
        threads.emplace_back([&worker] { worker->run(); });

    // A checkpoint about once a second, at least one per run.
    const auto interval = std::min<Clock::duration>(std::chrono::seconds(1), run_time / 2);
    Clock::duration paused{};
    int checkpoints = 0;
    for (auto next = start + interval; next < start + run_time; next += interval) {
        std::this_thread::sleep_until(next);
        paused += checkpoint(shared, workers, ++checkpoints);
    }
    std::this_thread::sleep_until(start + run_time);
    shared.stop.store(true, std::memory_order_relaxed);
    // Paused workers see the stop only after this generation ends; none is
    // pending here, since every checkpoint above has finished.
    for (auto& thread : threads)
        thread.join();
    const double busy = std::chrono::duration<double>(Clock::now() - start - paused).count();

    // Every handle is closed now: every lock word must be back to 0.
    check_quiet(shared, workers, "end");

    std::uint64_t total = 0;
    for (const auto& worker : workers)
        total += worker->operations();
    std::printf("checkpoints: %d, nodes at the end: %zu, ids handed out: %llu\n", checkpoints,
                shared.fs->inodes().size(),
                static_cast<unsigned long long>(shared.fs->next_inode_id() - 1));
    print_outcomes(workers);
    std::printf("operations: %llu in %.1f s = %.0f ops/s\n", static_cast<unsigned long long>(total),
                busy, static_cast<double>(total) / busy);
    for (std::size_t i = 0; i < workers.size(); ++i)
        std::printf("  thread %zu: %.0f ops/s\n", i,
                    static_cast<double>(workers[i]->operations()) / busy);

    Violations& violations = shared.violations;
    std::printf("violations: %zu\n", violations.count);
    for (const std::string& what : violations.first)
        std::printf("  %s\n", what.c_str());
    if (violations.count > violations.first.size())
        std::printf("  ... and %zu more\n", violations.count - violations.first.size());
    std::fflush(stdout);
    return violations.count == 0 ? 0 : 1;
}

}  // namespace
}  // namespace halvorn

int main(int argc, char** argv) {
    auto options = halvorn::parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--threads N] [--seconds T] [--seed S]\n", argv[0]);
        return 64;
    }
    return halvorn::run(*options);
}
