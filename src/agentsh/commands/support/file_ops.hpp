// The file operations that mv, cp, rm, touch and mkdir share, with the
// checks the kernel would make before the core is asked.
#pragma once

#include <string>
#include <string_view>

#include "agentsh/command.hpp"
#include "error/result.hpp"

namespace halvorn::agentsh::cmd {

// Marks a node's contents as changed now (touch on an existing name).
Status touch_node(const CommandContext& ctx, const std::string& path);

// Copies the file `from` to `to` (replacing its contents), both absolute.
Status copy_file(CommandContext& ctx, const std::string& from, const std::string& to);

// The last component of an operand ("a/b/" gives "b").
std::string last_component(std::string_view operand);

// Whether `inner` is `outer` or lies below it, both absolute and normal.
bool is_within(std::string_view outer, std::string_view inner);

// An absolute path with ".", ".." and repeated separators resolved by name
// (the tree holds no links a path could pass through).
std::string normalize(std::string_view absolute);

}  // namespace halvorn::agentsh::cmd
