// Faults that hostile conditions brought out, each kept as the case that
// showed it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::size_t mapped_bytes() {
    std::size_t pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// How a recursive removal of /d ended in a child process that could map only
// `spare` bytes more than it had mapped.
enum Outcome : int {
    kRemoved = 0,
    kOutOfMemoryAndWhole = 1,  // every file left can be opened for writing
    kFileLeftClaimed = 2,      // a file left can no longer be opened
    kBrokenTree = 3,
    kOther = 4,
};

int remove_with_little_memory(const std::shared_ptr<FileSystem>& fs, std::size_t spare) {
    const pid_t pid = fork();
    if (pid == 0) {
        int outcome = kOther;
        rlimit limits{};
        getrlimit(RLIMIT_AS, &limits);
        rlimit capped = limits;
        capped.rlim_cur = mapped_bytes() + spare;
        setrlimit(RLIMIT_AS, &capped);
        try {
            if (fs->rm("/d", true).ok()) outcome = kRemoved;
        } catch (const std::bad_alloc&) {
            setrlimit(RLIMIT_AS, &limits);
            outcome = kOutOfMemoryAndWhole;
            if (!testing::check_tree(*fs).empty()) outcome = kBrokenTree;
            const Result<Listing> left = fs->ls("/d");
            if (!left) outcome = kBrokenTree;
            for (std::size_t i = 0; left && i < left->files.size(); ++i) {
                auto handle = FileSystem::open(fs, "/d/" + left->files[i],
                                               FileHandleType(FileHandleType::WRITE), false);
                if (!handle) outcome = kFileLeftClaimed;
            }
        }
        _exit(outcome);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kOther;
}

// Runs the current test again in a process of its own, where the heap holds
// only what the test itself made, and reports whether that run passed.
// Memory freed by earlier tests stays mapped, and an allocation served from
// it never meets a cap on the address space.
bool passes_in_a_fresh_process() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = "--gtest_filter=";
    filter += test->test_suite_name();
    filter += '.';
    filter += test->name();
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), nullptr};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(exe, argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A recursive removal claims each file of a directory and records it for
// unlinking. Memory that ran out between the two left the file claimed for
// good and still listed: never unlinked, and refused to every open and
// every later removal. A rising cap on the address space makes memory run
// out at one point of the removal after another.
TEST(HostileRegressions, MemoryRunningOutInARemovalLeavesEveryFileWhole) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer runtime handles failed allocations itself";
    if (::testing::UnitTest::GetInstance()->test_to_run_count() > 1) {
        EXPECT_TRUE(passes_in_a_fresh_process());
        return;
    }
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d").ok());
    for (int i = 0; i < 20'000; ++i)
        ASSERT_TRUE(fs->touch("/d/f" + std::to_string(i)).ok());
    std::vector<int> outcomes;
    for (std::size_t spare = 0; spare < (16u << 20); spare += 32u << 10) {
        outcomes.push_back(remove_with_little_memory(fs, spare));
        const std::size_t n = outcomes.size();
        if (n >= 3 && outcomes[n - 1] == kRemoved && outcomes[n - 2] == kRemoved &&
            outcomes[n - 3] == kRemoved)
            break;
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        EXPECT_LE(outcomes[i], kOutOfMemoryAndWhole) << "with " << (i * 32) << " KB to spare";
    EXPECT_NE(std::count(outcomes.begin(), outcomes.end(), kOutOfMemoryAndWhole), 0);
    EXPECT_EQ(outcomes.back(), kRemoved);
}

// A write whose growth runs out of memory gives back the bytes it reserved
// and leaves the file as it was, so a full budget is never one that failed
// allocations used up.
TEST(HostileRegressions, MemoryRunningOutInAGrowthGivesItsReservationBack) {
    if (kSanitized) GTEST_SKIP() << "a sanitizer runtime handles failed allocations itself";
    auto fs = FileSystem::create(Limits{.max_bytes = 1ULL << 40});
    auto handle = FileSystem::open(fs, "/f", FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(handle->write(std::vector<std::uint8_t>(100, 1)).ok());
    const std::vector<std::uint8_t> block(256u << 20, 2);
    const pid_t pid = fork();
    if (pid == 0) {
        rlimit limits{};
        getrlimit(RLIMIT_AS, &limits);
        limits.rlim_cur = mapped_bytes() + (16u << 20);
        setrlimit(RLIMIT_AS, &limits);
        bool threw = false;
        try {
            (void)handle->write(block);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        const bool whole = fs->usage().bytes() == 1 + 100 && handle->seek(SeekOrigin::End, 0).ok() &&
                           handle->offset() == 100 && testing::check_tree(*fs).empty();
        _exit(threw && whole ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace halvorn
