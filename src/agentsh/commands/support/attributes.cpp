#include "agentsh/commands/support/attributes.hpp"

namespace halvorn::agentsh::cmd {

std::string mode_text(const NodeStatus& node) {
    std::string text = node.is_directory ? "d" : "-";
    const std::uint32_t bits = mode_bits(node);
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (bits >> shift) & 4 ? 'r' : '-';
        text += (bits >> shift) & 2 ? 'w' : '-';
        text += (bits >> shift) & 1 ? 'x' : '-';
    }
    return text;
}

std::string human_size(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static constexpr char kUnits[] = "KMGTPE";
    unsigned __int128 scale = 1024;
    std::size_t unit = 0;
    while (unit + 1 < sizeof kUnits - 1 && bytes >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    for (;;) {
        const unsigned __int128 tenths =
            (static_cast<unsigned __int128>(bytes) * 10 + scale - 1) / scale;
        if (tenths < 100) {
            return std::to_string(static_cast<std::uint64_t>(tenths / 10)) + "." +
                   std::to_string(static_cast<std::uint64_t>(tenths % 10)) + kUnits[unit];
        }
        const unsigned __int128 whole = (bytes + scale - 1) / scale;
        if (whole < 1024 || unit + 2 >= sizeof kUnits)
            return std::to_string(static_cast<std::uint64_t>(whole)) + kUnits[unit];
        scale *= 1024;
        ++unit;
    }
}

}  // namespace halvorn::agentsh::cmd
