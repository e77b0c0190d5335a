// What persists between runs of one shell, like the state of one bash
// session: variables, functions, positional parameters, options, the
// working directory. A subshell is a copy of it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agentsh/ast.hpp"

namespace halvorn::agentsh {

struct Variable {
    std::string value;  // a scalar's value
    std::map<long long, std::string> indexed;
    std::map<std::string, std::string> assoc;
    bool exported = false;
    bool readonly = false;
    bool integer = false;
    bool is_array = false;
    bool is_assoc = false;
    bool has_value = true;  // false for `declare x` or `local x` without one
};

struct Options {
    bool errexit = false;
    bool nounset = false;
    bool xtrace = false;
    bool noglob = false;
    bool pipefail = false;
    bool allexport = false;
    bool noclobber = false;
    bool nullglob = false;
    bool failglob = false;
    bool dotglob = false;
    bool nocasematch = false;
    bool nocaseglob = false;
    bool globstar = false;
    bool extglob = false;
    bool expand_aliases = false;
};

struct ShellState {
    std::string cwd = "/";
    std::unordered_map<std::string, Variable> vars;
    std::unordered_map<std::string, NodePtr> functions;
    std::map<std::string, std::string> aliases;
    std::vector<std::string> positional;
    std::string arg0 = "halvornsh";
    Options options;
    int last_status = 0;
    // Per function call: the variables `local` shadowed, to put back.
    std::vector<std::vector<std::pair<std::string, std::optional<Variable>>>> frames;
    int getopts_char = 0;  // where getopts is inside a bundle of letters
    unsigned random_seed = 12345;
};

}  // namespace halvorn::agentsh
