// The one table of the shell's utilities, sorted by name so that a lookup is
// a binary search and `type`/`help` list them in order.
#include <algorithm>
#include <array>

#include "agentsh/command.hpp"
#include "agentsh/commands/registry.hpp"

namespace halvorn::agentsh {
namespace {

constexpr auto kCommands = std::to_array<CommandEntry>({
    {"cat", cmd::cat_main},
    {"cp", cmd::cp_main},
    {"cut", cmd::cut_main},
    {"find", cmd::find_main},
    {"grep", cmd::grep_main},
    {"head", cmd::head_main},
    {"ls", cmd::ls_main},
    {"mkdir", cmd::mkdir_main},
    {"mv", cmd::mv_main},
    {"rm", cmd::rm_main},
    {"rmdir", cmd::rmdir_main},
    {"sed", cmd::sed_main},
    {"sort", cmd::sort_main},
    {"tail", cmd::tail_main},
    {"tee", cmd::tee_main},
    {"touch", cmd::touch_main},
    {"tr", cmd::tr_main},
    {"uniq", cmd::uniq_main},
    {"wc", cmd::wc_main},
    {"xargs", cmd::xargs_main},
});
static_assert(std::is_sorted(kCommands.begin(), kCommands.end(),
                             [](const CommandEntry& a, const CommandEntry& b) {
                                 return a.name < b.name;
                             }),
              "the table is searched by name");

}  // namespace

CommandFunction find_command(std::string_view name) {
    auto it = std::lower_bound(kCommands.begin(), kCommands.end(), name,
                               [](const CommandEntry& e, std::string_view n) { return e.name < n; });
    return it != kCommands.end() && it->name == name ? it->function : nullptr;
}

std::span<const CommandEntry> command_table() { return kCommands; }

}  // namespace halvorn::agentsh
