// The core alone, without the interpreter: lookups, creation, listing,
// handles and removal, and lookups from one and two threads on one shared
// tree (readers must not slow each other down); what a writer pays once many
// threads have come and gone, a walk's wait behind a rendering, and what a
// writer that waits long for a reader burns meanwhile.
//
//   cmake -S . -B build/bench -DHALVORN_BUILD_BENCH=ON -DHALVORN_BUILD_MODULE=OFF
//         -DCMAKE_BUILD_TYPE=Release && cmake --build build/bench
//   build/bench/bench/halvorn_core_bench
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <random>
#include <string>
#include <thread>
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
// One mkdir after `range(0)` threads have each made one lookup, all alive
// at once, and ended: every exclusive lock looks for the readers of what it
// takes, and should pay for the threads alive now, not for all that ever read.
void BM_MkdirAfterThreadBurst(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    {
        auto fs = FileSystem::create();
        (void)fs->mkdir("/d");
        std::barrier all_read(threads + 1);
        std::vector<std::thread> burst;
        for (int t = 0; t < threads; ++t) {
            burst.emplace_back([&] {
                benchmark::DoNotOptimize(fs->get_inode_by_path("/d"));
                all_read.arrive_and_wait();
            });
        }
        all_read.arrive_and_wait();
        for (auto& thread : burst)
            thread.join();
    }
    constexpr int kBatch = 10000;
    std::vector<std::string> names;
    for (int i = 0; i < kBatch; ++i)
        names.push_back("/dir" + std::to_string(i));
    auto fs = std::make_unique<FileSystem>();
    int next = 0;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            fs = std::make_unique<FileSystem>();
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(fs->mkdir(names[next++]));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MkdirAfterThreadBurst)->Arg(0)->Arg(1000)->Arg(4000);

// Path walks in the root while another thread renders a file system holding
// one 20 MiB file and a third creates and removes files in the root, pausing
// a millisecond between. A creation whose id lands in the part of the table
// being rendered must not hold up the walks for the rest of the rendering.
void BM_WalkBesideARendering(benchmark::State& state) {
    auto fs = FileSystem::create();
    (void)fs->mkdir("/d");
    (void)fs->touch("/d/x");
    {
        auto writer = FileSystem::open(fs, "/big", kWrite, true);
        std::vector<std::uint8_t> bytes(20 << 20, 0x5a);
        (void)writer->write(bytes);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> renders{0};
    std::thread renderer([&] {
        while (!stop) {
            benchmark::DoNotOptimize(fs->render().size());
            ++renders;
        }
    });
    std::thread creator([&] {
        for (int i = 0; !stop; ++i) {
            const std::string path = "/c" + std::to_string(i);
            (void)fs->touch(path);
            (void)fs->rm(path, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    double longest = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(fs->get_inode_by_path("/d/x"));
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        if (took.count() > longest) longest = took.count();
    }
    stop = true;
    renderer.join();
    creator.join();
    state.counters["longest_walk_ms"] = longest;
    state.counters["renders"] = static_cast<double>(renders);
}
BENCHMARK(BM_WalkBesideARendering)->UseRealTime()->MinTime(3);

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A writer that waits `range(0)` ms for a reader to let go (a long listing of
// a large directory, say): the CPU time it spends meanwhile, per second waited.
void BM_WriterWaitingForALongReader(benchmark::State& state) {
    const auto held = std::chrono::milliseconds(state.range(0));
    sync::RwLock lock;
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        std::atomic<bool> reading{false};
        std::thread reader([&] {
            sync::ReadLock hold(lock);
            reading = true;
            std::this_thread::sleep_for(held);
        });
        while (!reading)
            std::this_thread::yield();
        const double cpu_start = thread_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        {
            sync::WriteLock hold(lock);
        }
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += thread_cpu_seconds() - cpu_start;
        reader.join();
    }
    state.counters["cpu_per_wait"] = cpu / wall;
}
BENCHMARK(BM_WriterWaitingForALongReader)->Arg(100)->UseRealTime()->Iterations(10);

}  // namespace
}  // namespace halvorn

BENCHMARK_MAIN();
