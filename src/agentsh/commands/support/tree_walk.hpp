// Walking a directory of the tree depth first, entries in byte order of
// their names, so that recursive output is the same on every run and every
// host (a disk's directory order is neither).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agentsh/command.hpp"
#include "error/result.hpp"

namespace halvorn::agentsh::cmd {

struct Entry {
    std::string name;
    bool is_directory;
};

// The entries of the directory at the absolute `path`, sorted by name.
Result<std::vector<Entry>> sorted_entries(const CommandContext& ctx, const std::string& path);

// Joins a shown path and a name the way find and grep print them.
std::string join_shown(const std::string& shown, const std::string& name);

}  // namespace halvorn::agentsh::cmd
