// Names taken apart and put together by their text alone, the way
// basename, dirname, realpath and readlink do it (the tree holds no links a
// path could pass through, so the text is the whole story).
#pragma once

#include <string>
#include <string_view>

#include "agentsh/command.hpp"
#include "error/result.hpp"

namespace halvorn::agentsh::cmd {

// The last component ("a/b/" gives "b", "/" gives "/", "" gives "").
std::string base_name(std::string_view name);
// All but the last component ("a/b" gives "a", "b" gives ".", "/a" gives "/").
std::string dir_name(std::string_view name);

// How much of a path must exist for a canonical name.
enum class Existence { All, AllButLast, None };

// The operand as an absolute path with ".", ".." and repeated '/'
// resolved, its components checked as `need` asks (a file where a directory
// is needed is Not a directory).
Result<std::string> canonical_path(const CommandContext& ctx, std::string_view operand,
                                   Existence need);

// `path` relative to the directory `base`, both absolute and normal.
std::string relative_path(std::string_view path, std::string_view base);

}  // namespace halvorn::agentsh::cmd
