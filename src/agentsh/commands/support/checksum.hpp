// What md5sum and sha256sum share: a line "DIGEST  NAME" per file (read in
// pieces, so a large file is never held whole), and -c, which reads such
// lines back and says OK or FAILED for each, with GNU's warnings and
// statuses.
#pragma once

#include <functional>
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

struct DigestKind {
    std::string_view name;  // the utility's name, for messages
    std::string_view tag;   // the --tag name ("MD5", "SHA256")
    std::size_t hex_length;
    std::function<std::unique_ptr<Digest>()> make;
};

int checksum_main(CommandContext& ctx, const std::vector<std::string>& argv,
                  const DigestKind& kind);

}  // namespace halvorn::agentsh::cmd
