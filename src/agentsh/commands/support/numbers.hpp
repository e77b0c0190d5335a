// Counts as coreutils read them: decimal, with the size suffixes head,
// tail and friends accept (b 512, K 1024, KB 1000, KiB 1024, M, G, T...).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace halvorn::agentsh::cmd {

std::optional<std::uint64_t> parse_size(std::string_view text);

}  // namespace halvorn::agentsh::cmd
