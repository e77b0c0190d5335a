// Every utility's entry point, for the one table in registry.cpp.
#pragma once

#include <string>
#include <vector>

#include "agentsh/command.hpp"

namespace halvorn::agentsh::cmd {

#define HALVORN_UTILITY(name) int name##_main(CommandContext& ctx, const std::vector<std::string>& argv);
HALVORN_UTILITY(cat)
HALVORN_UTILITY(cat)
HALVORN_UTILITY(grep)
HALVORN_UTILITY(cat)
HALVORN_UTILITY(grep)
HALVORN_UTILITY(cat)
HALVORN_UTILITY(cp)
HALVORN_UTILITY(grep)
HALVORN_UTILITY(mkdir)
HALVORN_UTILITY(mv)
HALVORN_UTILITY(rm)
HALVORN_UTILITY(rmdir)
HALVORN_UTILITY(touch)
HALVORN_UTILITY(cat)
HALVORN_UTILITY(cp)
HALVORN_UTILITY(grep)
HALVORN_UTILITY(head)
HALVORN_UTILITY(mkdir)
HALVORN_UTILITY(mv)
HALVORN_UTILITY(rm)
HALVORN_UTILITY(rmdir)
HALVORN_UTILITY(tail)
HALVORN_UTILITY(tee)
HALVORN_UTILITY(touch)
HALVORN_UTILITY(wc)
#undef HALVORN_UTILITY

}  // namespace halvorn::agentsh::cmd
