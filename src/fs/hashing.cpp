#include "fs/hashing.hpp"

#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace halvorn {

namespace {

// Reads the kernel's random source without touching the file system; falls
// back to the clock if the call is refused (a seccomp sandbox, say), since
// the keys only need to be unpredictable, not secret.
std::uint64_t read_process_seed() {
    std::uint64_t seed = 0;
    ssize_t got = getrandom(&seed, sizeof seed, GRND_NONBLOCK);
    if (got != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
               reinterpret_cast<std::uintptr_t>(&seed);
    }
    return seed;
}

// Relaxed: each draw needs only a value of its own; nothing is published
// through the counter.
std::atomic<std::uint64_t>& seed_counter() {
    static std::atomic<std::uint64_t> counter{read_process_seed()};
    return counter;
}

inline std::uint64_t rotl(std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

}  // namespace

std::uint64_t random_u64() {
    // splitmix64: consecutive draws from one seed are independent enough for
    // hash keys.
    return mix64(seed_counter().fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed) +
                 0x9e3779b97f4a7c15ULL);
}

HashKey random_hash_key() {
    return {random_u64(), random_u64()};
}

const HashKey& name_hash_key() {
    static const HashKey key = random_hash_key();
    return key;
}

std::uint64_t siphash13(const HashKey& key, std::string_view data) {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    const std::size_t whole = n & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t m;
        std::memcpy(&m, p + i, 8);  // little-endian hosts only, as everywhere we build
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t i = whole; i < n; ++i)
        last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace halvorn
