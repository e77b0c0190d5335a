// From script text to syntax trees, one complete command at a time, as bash
// reads a script: a later syntax error leaves the earlier lines run.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "agentsh/ast.hpp"
#include "agentsh/limits.hpp"

namespace halvorn::agentsh {

class Parser {
public:
    Parser(std::string_view source, const Limits& limits, int first_line = 1);
    // Aliases to expand in command position (null: none, bash's default in
    // scripts until `shopt -s expand_aliases`).
    void set_aliases(const std::map<std::string, std::string>* aliases, const bool* enabled) {
        aliases_ = aliases;
        aliases_enabled_ = enabled;
    }

    enum class Outcome { Command, End, Error };
    // The next complete command (a list ended by a newline or the end).
    Outcome next(NodePtr& command);
    // The message of the last Error: a syntax error, or a limit reached.
    const std::string& error() const { return error_; }
    bool error_is_limit() const { return error_is_limit_; }
    int line() { return line_at(pos_); }

    static bool is_name(std::string_view text);
    // NAME=, NAME+= or NAME[...]= at the start of `word`: the length of the
    // part before the value, else 0.
    static std::size_t assignment_prefix(std::string_view word);
    // Where the command substitution "$(" at text[start] ends (just past its
    // ")"), found by parsing it as the parser does; npos when it does not.
    static std::size_t command_subst_end(std::string_view text, std::size_t start);

private:
    struct PendingHereDoc {
        NodePtr node;
        std::size_t index;
        std::string delimiter;
        bool strip_tabs;
    };

    bool fail(std::string message);
    bool fail_near();
    bool fail_limit(std::string_view name);
    bool at_end() const { return pos_ >= src_.size(); }
    char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < src_.size() ? src_[pos_ + ahead] : '\0';
    }
    int line_at(std::size_t pos);
    void skip_blanks();
    bool skip_linebreaks();
    bool consume_newline();
    bool read_here_docs();
    std::string_view peek_op();
    bool take_op(std::string_view op);
    std::string peek_word();
    bool peek_reserved(std::string_view word);
    bool take_reserved(std::string_view word);
    bool at_list_end();

    NodePtr make(Node::Kind kind);
    NodePtr parse_compound_list();
    NodePtr parse_and_or();
    NodePtr parse_pipeline();
    NodePtr parse_command();
    NodePtr parse_simple();
    NodePtr parse_if();
    NodePtr parse_loop(bool until);
    NodePtr parse_for();
    NodePtr parse_case();
    NodePtr parse_group();
    NodePtr parse_subshell();
    NodePtr parse_function(std::string name);
    NodePtr parse_arith_command();
    NodePtr parse_cond();
    bool parse_do_body(NodePtr& body);
    bool parse_redirects(const NodePtr& node);
    bool try_redirect(const NodePtr& node, bool& found);

    // Word scanning: appends the source of one word (quotes and
    // substitutions kept) to `out`.
    // Replaces an alias's name at the current position with its value.
    void expand_alias();
    bool scan_word(std::string& out);
    bool scan_single(std::string& out);
    bool scan_double(std::string& out);
    bool scan_dollar(std::string& out, bool in_double);
    bool scan_backquote(std::string& out);
    bool scan_braced(std::string& out);
    bool scan_arith(std::string& out);  // after "((": to the matching "))"
    bool scan_command_subst(std::string& out);

    std::string_view src_;
    std::string owned_;  // the source once an alias has been spliced into it
    const std::map<std::string, std::string>* aliases_ = nullptr;
    const bool* aliases_enabled_ = nullptr;  // the shell's expand_aliases, read as it changes
    std::map<std::string, std::size_t> expanding_;  // alias -> end of its text
    bool alias_next_ = false;  // the last alias ended in a blank
    const Limits& limits_;
    std::size_t pos_ = 0;
    int first_line_;
    std::size_t line_pos_ = 0;
    int line_count_ = 0;
    std::size_t depth_ = 0;
    std::vector<PendingHereDoc> heredocs_;
    std::string error_;
    bool error_is_limit_ = false;
    bool failed_ = false;
};

}  // namespace halvorn::agentsh
