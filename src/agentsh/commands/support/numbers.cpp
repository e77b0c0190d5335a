#include "agentsh/commands/support/numbers.hpp"

#include <string>

namespace halvorn::agentsh::cmd {

std::optional<std::uint64_t> parse_size(std::string_view text) {
    std::size_t i = 0;
    std::uint64_t value = 0;
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10) return UINT64_MAX;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    std::string_view suffix = text.substr(i);
    if (suffix.empty()) return value;
    if (suffix == "b") return value * 512;
    static constexpr std::string_view kLetters = "KMGTPEZY";
    char letter = suffix[0] == 'k' ? 'K' : suffix[0];
    std::size_t power = kLetters.find(letter);
    if (power == std::string_view::npos) return std::nullopt;
    std::uint64_t base;
    std::string_view rest = suffix.substr(1);
    if (rest.empty() || rest == "iB") base = 1024;
    else if (rest == "B") base = 1000;
    else return std::nullopt;
    for (std::size_t p = 0; p <= power; ++p) {
        if (value > UINT64_MAX / base) return UINT64_MAX;
        value *= base;
    }
    return value;
}

}  // namespace halvorn::agentsh::cmd
