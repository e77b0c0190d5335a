// The interpreter: runs syntax trees on a ShellState with a descriptor
// table. One Interp per thread of a run (a pipeline's stages each have
// theirs); a subshell gets a copy of the state. Control flow (break,
// continue, return, exit, a stopped run) is a value in `flow`, checked after
// every command, never an exception.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agentsh/ast.hpp"
#include "agentsh/run_context.hpp"
#include "agentsh/state.hpp"
#include "agentsh/streams.hpp"

namespace halvorn::agentsh {

using Fds = std::array<StreamPtr, 10>;

enum class Flow : unsigned char { Normal, Break, Continue, Return, Exit, Stop };

class Interp {
public:
    Interp(ShellState& state, RunContext& run, Fds fds) : st(state), run(run), fds(std::move(fds)) {}
    // A stage or subshell: its own flow, the same depths.
    Interp(ShellState& state, const Interp& parent);

    ShellState& st;
    RunContext& run;
    Fds fds;
    Flow flow = Flow::Normal;
    int flow_levels = 0;  // break/continue N
    int loop_depth = 0;
    int call_depth = 0;
    int subst_depth = 0;
    int line = 0;
    int condition = 0;  // inside an if/while test or && ||: errexit is off
    const Stream* stage_out = nullptr;  // a pipe stage's stdout: stop once it breaks
    bool in_subshell = false;
    bool shared_state = false;  // a stage reading its parent's state: writes nothing back
    int subst_status = -1;      // status of the last $( ) in the current command
    int sourcing = 0;
    long long last_optind_ = 1;
    // For a declaration builtin (declare, local, export, ...): the source
    // text of each argument that is an assignment, by argument index, so
    // that it is expanded once, as an assignment; empty for the others.
    std::vector<std::string> declaration_sources_;           // nested `source`s: `return` ends one

    // Runs a whole script text (eval, source, $( )); status of its last command.
    int run_text(std::string_view text, int first_line = 1);
    int exec(const Node& node);
    // argv as a command: function, builtin, utility; 127 when none.
    int run_command(std::vector<std::string>& argv, const std::vector<std::string>* env_extra);

    // Expansion (expand.cpp).
    bool expand_words(const std::vector<std::string>& words, std::vector<std::string>& out);
    // One word without field splitting or globbing (assignments, case words,
    // redirection targets, [[ ]] operands).
    bool expand_single(std::string_view word, std::string& out);
    // A word of `[[ x =~ re ]]`: quoted parts are escaped to match literally.
    bool expand_regex(std::string_view word, std::string& out);
    // A pattern: quoted characters escaped so they match themselves.
    bool expand_pattern(std::string_view word, std::string& out);
    bool expand_heredoc(std::string_view body, std::string& out);
    bool command_substitution(std::string_view text, std::string& out);
    bool arith_text(std::string_view text, long long& value);  // expands, then evaluates

    // Arithmetic (arith.cpp): evaluates already expanded text.
    bool arith_eval(std::string_view text, long long& value);

    // Variables.
    const Variable* find_var(std::string_view name) const;
    std::optional<std::string> get_scalar(std::string_view name) const;
    bool set_var(const std::string& name, std::string value, bool append = false);
    bool set_element(const std::string& name, std::string_view index, std::string value,
                     bool append = false);
    // NAME=value (or NAME=(...)) as source text; `literal` takes an already
    // expanded word's value as it is.
    bool assign(std::string_view word, bool local_scope = false, bool export_it = false,
                bool literal = false);
    void unset_var(const std::string& name);
    Variable* make_local(const std::string& name);
    std::vector<std::string> environment() const;

    // Paths and messages.
    std::string absolute(std::string_view path) const;
    void diag(std::string_view message);  // "halvornsh: line N: message"
    bool write_out(int fd, std::string_view bytes);
    bool stopping();
    bool check_string(std::size_t size);

    // Builtins (builtins.cpp).
    using Builtin = int (Interp::*)(std::vector<std::string>& argv);
    static Builtin find_builtin(std::string_view name);
    static bool is_special_builtin(std::string_view name);
    int builtin_printf(std::vector<std::string>& argv);  // printf.cpp
    int builtin_test(std::vector<std::string>& argv);    // test.cpp
    bool eval_test(const std::vector<std::string>& args, int& status, std::string& error);
    int exec_cond(const Node& node);                    // test.cpp

#define HALVORN_BUILTIN(name) int builtin_##name(std::vector<std::string>& argv);
#include "agentsh/builtin_list.inc"
#undef HALVORN_BUILTIN

private:
    int exec_simple(const Node& node);
    int exec_pipeline(const Node& node);
    int exec_list(const Node& node);
    int exec_and_or(const Node& node);
    int exec_if(const Node& node);
    int exec_while(const Node& node);
    int exec_for(const Node& node);
    int exec_arith_for(const Node& node);
    int exec_case(const Node& node);
    int exec_subshell(const Node& node);
    int exec_body(const Node& node);  // node with its redirections
    int call_function(const NodePtr& body, std::vector<std::string>& argv);
    bool apply_redirects(const std::vector<Redirect>& redirects, Fds& into);
    bool count_iteration();
    void after_command(int status);
    void xtrace(const std::vector<std::string>& argv);
    bool xtrace_enabled() const;
};

// Glob matching (pattern.cpp): bash's patterns, backslash quoting.
bool glob_match(std::string_view pattern, std::string_view text, bool nocase = false);
bool has_glob_chars(std::string_view pattern);
// \uHHHH and \UHHHHHHHH of echo -e, printf and $'...': the hex digits at
// text[i..] (up to `max`), encoded as UTF-8 onto `out`; i ends on the last
// digit. False, taking nothing, when no digit follows.
bool append_unicode_escape(std::string_view text, std::size_t& i, std::size_t max,
                           std::string& out);
// Backslash escapes (escapes.cpp), read as $'...', echo -e, printf's format
// or printf's %b argument read them, appended to `out`. False when \c ended
// the text (echo -e, %b): `out` then holds what came before it.
enum class EscapeDialect : unsigned char { AnsiC, Echo, PrintfFormat, PrintfArgument };
bool decode_escapes(std::string_view text, EscapeDialect dialect, std::string& out);

}  // namespace halvorn::agentsh
