// sha256sum: SHA-256 (FIPS 180-4) digests.
#include <array>
#include <cstdint>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/checksum.hpp"

namespace halvorn::agentsh::cmd {
namespace {

constexpr std::array<std::uint32_t, 64> kRounds = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotate_right(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

class Sha256 : public BlockDigest {
public:
    Sha256() : BlockDigest(true) {}

private:
    void compress() override {
        std::uint32_t w[64];
        for (int k = 0; k < 16; ++k)
            w[k] = static_cast<std::uint32_t>(block_[4 * k]) << 24 |
                   static_cast<std::uint32_t>(block_[4 * k + 1]) << 16 |
                   static_cast<std::uint32_t>(block_[4 * k + 2]) << 8 |
                   static_cast<std::uint32_t>(block_[4 * k + 3]);
        for (int k = 16; k < 64; ++k) {
            const std::uint32_t s0 =
                rotate_right(w[k - 15], 7) ^ rotate_right(w[k - 15], 18) ^ (w[k - 15] >> 3);
            const std::uint32_t s1 =
                rotate_right(w[k - 2], 17) ^ rotate_right(w[k - 2], 19) ^ (w[k - 2] >> 10);
            w[k] = w[k - 16] + s0 + w[k - 7] + s1;
        }
        auto v = state_;
        for (int k = 0; k < 64; ++k) {
            const std::uint32_t s1 =
                rotate_right(v[4], 6) ^ rotate_right(v[4], 11) ^ rotate_right(v[4], 25);
            const std::uint32_t choose = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 =
                v[7] + s1 + choose + kRounds[static_cast<std::size_t>(k)] + w[k];
            const std::uint32_t s0 =
                rotate_right(v[0], 2) ^ rotate_right(v[0], 13) ^ rotate_right(v[0], 22);
            const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            const std::uint32_t t2 = s0 + majority;
            for (int j = 7; j > 0; --j)
                v[static_cast<std::size_t>(j)] = v[static_cast<std::size_t>(j - 1)];
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (std::size_t k = 0; k < 8; ++k)
            state_[k] += v[k];
    }

    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::span<const std::uint32_t> state() const override { return state_; }
};

}  // namespace

int sha256sum_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    static const DigestKind kKind{"sha256sum", "SHA256", 64,
                                  [] { return std::make_unique<Sha256>(); }};
    return checksum_main(ctx, argv, kKind);
}

}  // namespace halvorn::agentsh::cmd
