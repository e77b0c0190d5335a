// What mv and cp share: the operands read as SOURCE... DEST, with DEST a
// directory to move or copy into when it is one (or must be, for several
// sources), and GNU's messages for the ways that goes wrong.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agentsh/command.hpp"

namespace halvorn::agentsh::cmd {

struct TransferPlan {
    // Each source with the operand-spelled destination it goes to.
    std::vector<std::pair<std::string, std::string>> moves;
};

// Builds the plan, or writes the usage message and returns false.
bool plan_transfer(CommandContext& ctx, std::string_view name, std::vector<std::string> operands,
                   bool no_target_directory, TransferPlan& plan);

}  // namespace halvorn::agentsh::cmd
