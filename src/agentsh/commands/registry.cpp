// The one table of the shell's utilities, sorted by name so that a lookup is
// a binary search and `type`/`help` list them in order.
#include <algorithm>
#include <array>

#include "agentsh/command.hpp"
#include "agentsh/commands/registry.hpp"

namespace halvorn::agentsh {
namespace {

constexpr auto kCommands = std::to_array<CommandEntry>({
    {"base64", cmd::base64_main},
    {"basename", cmd::basename_main},
    {"cat", cmd::cat_main},
    {"cmp", cmd::cmp_main},
    {"comm", cmd::comm_main},
    {"cp", cmd::cp_main},
    {"cut", cmd::cut_main},
    {"date", cmd::date_main},
    {"diff", cmd::diff_main},
    {"dirname", cmd::dirname_main},
    {"du", cmd::du_main},
    {"env", cmd::env_main},
    {"expand", cmd::expand_main},
    {"file", cmd::file_main},
    {"find", cmd::find_main},
    {"fold", cmd::fold_main},
    {"grep", cmd::grep_main},
    {"head", cmd::head_main},
    {"join", cmd::join_main},
    {"ls", cmd::ls_main},
    {"md5sum", cmd::md5sum_main},
    {"mkdir", cmd::mkdir_main},
    {"mktemp", cmd::mktemp_main},
    {"mv", cmd::mv_main},
    {"nl", cmd::nl_main},
    {"paste", cmd::paste_main},
    {"printenv", cmd::printenv_main},
    {"readlink", cmd::readlink_main},
    {"realpath", cmd::realpath_main},
    {"rev", cmd::rev_main},
    {"rm", cmd::rm_main},
    {"rmdir", cmd::rmdir_main},
    {"sed", cmd::sed_main},
    {"seq", cmd::seq_main},
    {"sha256sum", cmd::sha256sum_main},
    {"sleep", cmd::sleep_main},
    {"sort", cmd::sort_main},
    {"stat", cmd::stat_main},
    {"tac", cmd::tac_main},
    {"tail", cmd::tail_main},
    {"tee", cmd::tee_main},
    {"touch", cmd::touch_main},
    {"tr", cmd::tr_main},
    {"uniq", cmd::uniq_main},
    {"wc", cmd::wc_main},
    {"which", cmd::which_main},
    {"xargs", cmd::xargs_main},
    {"yes", cmd::yes_main},
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
