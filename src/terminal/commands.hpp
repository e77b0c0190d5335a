// The built-in commands. Each takes the terminal's context and the words
// after the command word, and returns its whole output or its whole error
// text. They are thin on purpose: the core decides everything about the file
// system; a command picks its target, calls the core and words the result.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "terminal/terminal.hpp"

namespace halvorn::terminal {

using CommandHandler = TextResult (*)(TerminalContext&, std::span<const std::string>);

// No command looks past its first argument, so a line's words after the
// command word and that one are never kept (words.hpp).
inline constexpr std::size_t kMaxArguments = 1;

// Words beyond those a command uses are ignored.
TextResult cmd_cd(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_ls(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_pwd(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_cat(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_mkdir(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_touch(TerminalContext& context, std::span<const std::string> args);
TextResult cmd_help(TerminalContext& context, std::span<const std::string> args);

}  // namespace halvorn::terminal
