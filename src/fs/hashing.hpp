// Random keys and the hash functions keyed with them.
//
// The system's random source is read once per process; every table that
// needs a key (each inode table, the directory name indexes, the terminal's
// command table) draws its own from that seed, so the order of hashed
// entries differs between tables and between runs, and names chosen by an
// untrusted caller cannot be aimed at one bucket.
#pragma once

#include <cstdint>
#include <string_view>

namespace halvorn {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

// A fresh 64-bit value derived from the process seed; thread-safe.
std::uint64_t random_u64();
HashKey random_hash_key();

// The key shared by every directory's name index in this process.
const HashKey& name_hash_key();

// A strong 64-bit finaliser: every input bit affects every output bit.
constexpr std::uint64_t mix64(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// SipHash-1-3: keyed, and resistant to callers who pick colliding inputs.
std::uint64_t siphash13(const HashKey& key, std::string_view data);

}  // namespace halvorn
