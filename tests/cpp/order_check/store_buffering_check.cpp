// Whether the machine the tests run on keeps a sequentially consistent store
// before a later sequentially consistent load of another variable: two
// threads in lock step, each storing 1 to a variable of its own and then
// loading the other's. At least one of the two loads must read 1; both
// reading 0 (store buffering) is the one outcome C++ forbids there, and it is
// the reordering that a reader's announcement and a writer's bit must never
// see (rw_lock.hpp). Arm hardware keeps a seq_cst store (STLR) before a
// seq_cst load (LDAR); an emulator that turns them into a plain store and a
// plain load on an x86-64 host lets the store wait in the host's store buffer
// until after the load, and this check counts how often that happened.
//
// Every other round uses relaxed stores and loads instead. Both loads may
// read 0 there on any machine whose two cores run the threads at once, so
// their count shows that the threads met at all: without it, a seq_cst count
// of 0 would prove nothing.
//
//   halvorn_store_buffering_check [--rounds N]
//
// Exit status: 0 when the threads met and no seq_cst round ended with both
// loads reading 0, 1 when some did, 2 when the threads never met (no
// verdict), 64 usage.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr long kDefaultRounds = 200'000;  // of each order, in one batch
constexpr int kBatches = 5;               // at most, until the threads are seen to meet

void pause(unsigned spins) {
    if (spins < 1024) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    } else {
        // The other thread is not running: on a busy machine the rounds wait
        // for it instead of spinning away its core.
        std::this_thread::yield();
    }
}

template <std::memory_order Order>
std::uint32_t store_then_load(std::atomic<std::uint32_t>& mine,
                              const std::atomic<std::uint32_t>& theirs) {
    mine.store(1, Order);
    return theirs.load(Order);
}

struct Counts {
    long rounds = 0;   // of each order
    long relaxed = 0;  // rounds that ended with both loads reading 0
    long seq_cst = 0;
};

// Runs `rounds` rounds of each order, taking turns, so that both meet the
// same conditions of the machine at the same times.
void run_batch(long rounds, Counts& counts) {
    const long total = 2 * rounds;
    // A fresh pair of variables for every round, so that nothing is reset
    // between rounds and a store that is late meets only its own round.
    std::vector<std::atomic<std::uint32_t>> variables[2] = {
        std::vector<std::atomic<std::uint32_t>>(total),
        std::vector<std::atomic<std::uint32_t>>(total)};
    std::vector<std::uint8_t> loaded[2] = {std::vector<std::uint8_t>(total),
                                           std::vector<std::uint8_t>(total)};
    std::atomic<long> arrivals{0};
    auto run = [&](int me) {
        std::vector<std::atomic<std::uint32_t>>& mine = variables[me];
        std::vector<std::atomic<std::uint32_t>>& theirs = variables[1 - me];
        for (long round = 0; round < total; ++round) {
            // Lock step: neither thread starts a round before both have
            // finished the one before.
            arrivals.fetch_add(1, std::memory_order_acq_rel);
            for (unsigned spins = 0; arrivals.load(std::memory_order_acquire) < 2 * (round + 1);
                 ++spins)
                pause(spins);
            loaded[me][round] = static_cast<std::uint8_t>(
                round % 2 ? store_then_load<std::memory_order_seq_cst>(mine[round], theirs[round])
                          : store_then_load<std::memory_order_relaxed>(mine[round], theirs[round]));
        }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    counts.rounds += rounds;
    for (long round = 0; round < total; ++round) {
        if (loaded[0][round] == 0 && loaded[1][round] == 0)
            ++(round % 2 ? counts.seq_cst : counts.relaxed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    long rounds = kDefaultRounds;
    if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) {
        char* end = nullptr;
        rounds = std::strtol(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0') rounds = 0;
    } else if (argc != 1) {
        rounds = 0;
    }
    if (rounds < 1 || rounds > 100'000'000) {
        std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
        return 64;
    }
    // On a busy machine the two threads may take turns on one core for a
    // whole batch; another batch may find them on two.
    Counts counts;
    for (int batch = 0; batch < kBatches && counts.relaxed == 0; ++batch)
        run_batch(rounds, counts);
    std::printf("store buffering, 2 threads in lock step:\n");
    std::printf("  relaxed: both loads read 0 in %ld of %ld rounds (allowed)\n", counts.relaxed,
                counts.rounds);
    std::printf("  seq_cst: both loads read 0 in %ld of %ld rounds (forbidden)\n", counts.seq_cst,
                counts.rounds);
    if (counts.seq_cst != 0) return 1;
    if (counts.relaxed == 0) {
        std::printf("the threads never met, so the seq_cst count proves nothing\n");
        return 2;
    }
    return 0;
}
