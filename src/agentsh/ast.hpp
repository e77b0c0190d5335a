// The syntax tree of a script. Words stay as their source text: expansion
// reads them at run time (expand.cpp), so a tree is never larger than a few
// times the script that made it. Function bodies outlive the script that
// defined them, so nodes are shared.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace halvorn::agentsh {

struct Redirect {
    enum class Kind : unsigned char {
        In,          // <
        Out,         // > and >|
        Append,      // >>
        ReadWrite,   // <>
        DupIn,       // <&
        DupOut,      // >&
        OutErr,      // &>
        AppendErr,   // &>>
        HereDoc,     // << and <<-: `target` holds the body
        HereString,  // <<<
    };
    Kind kind;
    int fd = -1;              // the descriptor named before the operator, or -1
    std::string target;       // a word, or a here-document's body
    bool quoted_body = false; // a here-document whose delimiter was quoted
    bool clobber = false;     // >| : writes over a file even with noclobber
};

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct CaseItem {
    std::vector<std::string> patterns;
    NodePtr body;            // may be null
    std::string terminator;  // ";;", ";&" or ";;&"
};

struct Node {
    enum class Kind : unsigned char {
        Simple,     // assignments, words, redirections
        Pipeline,   // kids, `bang`
        AndOr,      // kids joined by ops (0: &&, 1: ||)
        List,       // kids in sequence
        Subshell,   // kids[0]
        Group,      // kids[0]
        If,         // kids: cond, body, cond, body, ..., [else]
        For,        // name, words (or "$@" when `has_in` is false), kids[0]
        ArithFor,   // words: init, test, step; kids[0]
        While,      // kids[0] cond, kids[1] body; `until` loops while it fails
        Case,       // text (the word), items
        Function,   // name, kids[0]
        Arith,      // text: (( ... ))
        Cond,       // words with operator flags: [[ ... ]]
        Background, // kids[0] followed by &: refused when run
    };
    Kind kind;
    int line = 0;
    bool bang = false;
    bool until = false;
    bool has_in = false;
    std::string name;
    std::string text;
    std::vector<std::string> assigns;
    std::vector<std::string> words;
    std::vector<bool> word_is_op;  // Cond: which words are unquoted operators
    std::vector<Redirect> redirects;
    std::vector<NodePtr> kids;
    std::vector<int> ops;
    std::vector<CaseItem> items;
};

}  // namespace halvorn::agentsh
