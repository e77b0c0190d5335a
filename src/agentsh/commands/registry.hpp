// Every utility's entry point, for the one table in registry.cpp.
#pragma once

#include <string>
#include <vector>

#include "agentsh/command.hpp"

namespace halvorn::agentsh::cmd {

#define HALVORN_UTILITY(name) int name##_main(CommandContext& ctx, const std::vector<std::string>& argv);
HALVORN_UTILITY(base64)
HALVORN_UTILITY(basename)
HALVORN_UTILITY(cat)
HALVORN_UTILITY(cmp)
HALVORN_UTILITY(comm)
HALVORN_UTILITY(cp)
HALVORN_UTILITY(cut)
HALVORN_UTILITY(date)
HALVORN_UTILITY(diff)
HALVORN_UTILITY(dirname)
HALVORN_UTILITY(du)
HALVORN_UTILITY(env)
HALVORN_UTILITY(expand)
HALVORN_UTILITY(file)
HALVORN_UTILITY(find)
HALVORN_UTILITY(fold)
HALVORN_UTILITY(grep)
HALVORN_UTILITY(head)
HALVORN_UTILITY(join)
HALVORN_UTILITY(ls)
HALVORN_UTILITY(md5sum)
HALVORN_UTILITY(mkdir)
HALVORN_UTILITY(mktemp)
HALVORN_UTILITY(mv)
HALVORN_UTILITY(nl)
HALVORN_UTILITY(paste)
HALVORN_UTILITY(printenv)
HALVORN_UTILITY(readlink)
HALVORN_UTILITY(realpath)
HALVORN_UTILITY(rev)
HALVORN_UTILITY(rm)
HALVORN_UTILITY(rmdir)
HALVORN_UTILITY(sed)
HALVORN_UTILITY(seq)
HALVORN_UTILITY(sha256sum)
HALVORN_UTILITY(sleep)
HALVORN_UTILITY(sort)
HALVORN_UTILITY(stat)
HALVORN_UTILITY(tac)
HALVORN_UTILITY(tail)
HALVORN_UTILITY(tee)
HALVORN_UTILITY(touch)
HALVORN_UTILITY(tr)
HALVORN_UTILITY(uniq)
HALVORN_UTILITY(wc)
HALVORN_UTILITY(which)
HALVORN_UTILITY(xargs)
HALVORN_UTILITY(yes)
#undef HALVORN_UTILITY

}  // namespace halvorn::agentsh::cmd
