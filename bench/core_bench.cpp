// The core alone, without the interpreter: lookups, creation, listing,
// handles and removal, and lookups from one and two threads on one shared
// tree (readers must not slow each other down).
//
//   cmake -S . -B build/bench -DHALVORN_BUILD_BENCH=ON -DHALVORN_BUILD_MODULE=OFF
//         -DCMAKE_BUILD_TYPE=Release && cmake --build build/bench
//   build/bench/bench/halvorn_core_bench
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "fs/file_system.hpp"

namespace halvorn {
namespace {

constexpr FileHandleType kRead(FileHandleType::READ);
constexpr FileHandleType kWrite(FileHandleType::WRITE);

// A tree of depth 4 and fan-out 10: 10,000 files below 1,110 directories.
struct Tree {
    std::shared_ptr<FileSystem> fs = FileSystem::create();
    std::vector<std::string> files;

    Tree() {
        for (int a = 0; a < 10; ++a) {
            std::string pa = "/d" + std::to_string(a);
            (void)fs->mkdir(pa);
            for (int b = 0; b < 10; ++b) {
                std::string pb = pa + "/d" + std::to_string(b);
                (void)fs->mkdir(pb);
                for (int c = 0; c < 10; ++c) {
                    std::string pc = pb + "/d" + std::to_string(c);
                    (void)fs->mkdir(pc);
                    for (int f = 0; f < 10; ++f) {
                        files.push_back(pc + "/f" + std::to_string(f));
                        (void)fs->touch(files.back());
                    }
                }
            }
        }
    }
};

Tree& shared_tree() {
    static Tree tree;
    return tree;
}

void BM_LookupByPath(benchmark::State& state) {
    Tree& tree = shared_tree();
    std::mt19937 random(state.thread_index());
    for (auto _ : state) {
        auto guard = tree.fs->get_inode_by_path(tree.files[random() % tree.files.size()]);
        benchmark::DoNotOptimize(guard);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupByPath)->Threads(1)->Threads(2)->UseRealTime();

void BM_LookupById(benchmark::State& state) {
    Tree& tree = shared_tree();
    std::mt19937 random(state.thread_index());
    const std::uint64_t ids = tree.fs->next_inode_id();
    for (auto _ : state) {
        auto id = tree.fs->get_inode_raw(random() % ids);
        benchmark::DoNotOptimize(id);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupById)->Threads(1)->Threads(2)->UseRealTime();

// Limits that never refuse here, so that a run with them (the second
// argument 1) measures what reserving against a limit costs.
Limits high_limits(bool limited) {
    if (!limited) return {};
    return {.max_bytes = 1ULL << 40, .max_nodes = 1ULL << 40, .max_name_length = 255};
}

void BM_MkdirSiblings(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back("/dir" + std::to_string(i));
    for (auto _ : state) {
        state.PauseTiming();
        auto fs = std::make_unique<FileSystem>(high_limits(state.range(1)));
        state.ResumeTiming();
        for (const auto& name : names)
            benchmark::DoNotOptimize(fs->mkdir(name));
        state.PauseTiming();
        fs.reset();  // freeing is not part of the measure
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_MkdirSiblings)->ArgsProduct({{1000, 100000}, {0, 1}});

void BM_TouchInTree(benchmark::State& state) {
    Tree& tree = shared_tree();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tree.fs->touch(tree.files[next % tree.files.size()] + "x" +
                                                std::to_string(next / tree.files.size())));
        ++next;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TouchInTree);

void BM_ListDirectory(benchmark::State& state) {
    FileSystem fs;
    for (int i = 0; i < state.range(0); ++i)
        (void)fs.touch("/f" + std::to_string(i));
    for (auto _ : state)
        benchmark::DoNotOptimize(fs.ls("/"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ListDirectory)->Arg(100)->Arg(10000);

void BM_OpenClose(benchmark::State& state) {
    Tree& tree = shared_tree();
    for (auto _ : state) {
        auto handle = FileSystem::open(tree.fs, tree.files[1234], kRead, true);
        benchmark::DoNotOptimize(handle->close());
    }
}
BENCHMARK(BM_OpenClose);

void BM_OpenClose32Deep(benchmark::State& state) {
    auto fs = FileSystem::create();
    std::string path;
    for (int i = 0; i < 32; ++i) {
        path += "/level" + std::to_string(i);
        (void)fs->mkdir(path);
    }
    path += "/file";
    (void)fs->touch(path);
    for (auto _ : state) {
        auto handle = FileSystem::open(fs, path, kRead, true);
        benchmark::DoNotOptimize(handle->close());
    }
}
BENCHMARK(BM_OpenClose32Deep);

void BM_Write4K(benchmark::State& state) {
    auto fs = FileSystem::create(high_limits(state.range(0)));
    auto handle = FileSystem::open(fs, "/f", kWrite, true);
    std::vector<std::uint8_t> block(4096, 7);
    for (auto _ : state)
        benchmark::DoNotOptimize(handle->write(block));
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_Write4K)->Arg(0)->Arg(1);

void BM_SeekRead4K(benchmark::State& state) {
    auto fs = FileSystem::create();
    {
        auto writer = FileSystem::open(fs, "/f", kWrite, true);
        std::vector<std::uint8_t> mib(1 << 20, 1);
        (void)writer->write(mib);
    }
    auto handle = FileSystem::open(fs, "/f", kRead, true);
    std::vector<std::uint8_t> block(4096);
    for (auto _ : state) {
        (void)handle->seek(SeekOrigin::Start, 0);
        benchmark::DoNotOptimize(handle->read(block));
    }
    state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_SeekRead4K);

void BM_RemoveTree(benchmark::State& state) {
    std::int64_t nodes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto owner = std::make_unique<FileSystem>();
        FileSystem& fs = *owner;
        (void)fs.mkdir("/t");
        for (int a = 0; a < 10; ++a) {
            std::string pa = "/t/" + std::to_string(a);
            (void)fs.mkdir(pa);
            for (int b = 0; b < 10; ++b) {
                std::string pb = pa + "/" + std::to_string(b);
                (void)fs.mkdir(pb);
                for (int c = 0; c < 100; ++c)
                    (void)fs.touch(pb + "/" + std::to_string(c));
            }
        }
        nodes += static_cast<std::int64_t>(fs.inodes().size()) - 1;
        state.ResumeTiming();
        benchmark::DoNotOptimize(fs.rm("/t", true));
        state.PauseTiming();
        owner.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(nodes);
}
BENCHMARK(BM_RemoveTree);

void BM_RenameFileAcross(benchmark::State& state) {
    Tree& tree = shared_tree();
    const std::string& from = tree.files[4321];
    const std::string to = "/d1/moved";
    for (auto _ : state) {
        benchmark::DoNotOptimize(tree.fs->rename(from, to));
        benchmark::DoNotOptimize(tree.fs->rename(to, from));
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_RenameFileAcross);

// A directory holding `range(0)` nodes moved one level deeper and back:
// each move walks the subtree to give every node its new depth, the deeper
// one before it moves and the shallower one after.
void BM_RenameDirectoryToAnotherDepth(benchmark::State& state) {
    auto fs = FileSystem::create();
    (void)fs->mkdir("/t");
    (void)fs->mkdir("/deeper");
    const int per_dir = 100;
    for (int d = 0; d < state.range(0) / (per_dir + 1); ++d) {
        const std::string dir = "/t/d" + std::to_string(d);
        (void)fs->mkdir(dir);
        for (int f = 0; f < per_dir; ++f)
            (void)fs->touch(dir + "/f" + std::to_string(f));
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(fs->rename("/t", "/deeper/t"));
        benchmark::DoNotOptimize(fs->rename("/deeper/t", "/t"));
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["nodes"] = static_cast<double>(fs->inodes().size());
}
BENCHMARK(BM_RenameDirectoryToAnotherDepth)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvorn

BENCHMARK_MAIN();
