// What md5sum and sha256sum share: a line "DIGEST  NAME" per file (read in
// pieces, so a large file is never held whole), and -c, which reads such
// lines back and says OK or FAILED for each, with GNU's warnings and
// statuses.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agentsh/command.hpp"

namespace halvorn::agentsh::cmd {

class Digest {
public:
    virtual ~Digest() = default;
    virtual void update(std::string_view bytes) = 0;
    // The digest's bytes; the object is spent afterwards.
    virtual std::string finish() = 0;
};

// MD5 and SHA-256 alike: 64-byte blocks, the message padded with 0x80,
// zeros and its length in bits, the digest the state's words. They differ in
// byte order and in how a block is compressed into the state.
class BlockDigest : public Digest {
public:
    void update(std::string_view bytes) override;
    std::string finish() override;

protected:
    explicit BlockDigest(bool big_endian) : big_endian_(big_endian) {}
    // Folds block_ into the state.
    virtual void compress() = 0;
    virtual std::span<const std::uint32_t> state() const = 0;
    std::array<unsigned char, 64> block_{};

private:
    bool big_endian_;
    std::size_t filled_ = 0;
    std::uint64_t length_ = 0;
};

struct DigestKind {
    std::string_view name;  // the utility's name, for messages
    std::string_view tag;   // the --tag name ("MD5", "SHA256")
    std::size_t hex_length;
    std::function<std::unique_ptr<Digest>()> make;
};

int checksum_main(CommandContext& ctx, const std::vector<std::string>& argv,
                  const DigestKind& kind);

}  // namespace halvorn::agentsh::cmd
