// The splitter is a plain state machine over the bytes of the line. Lines come
// straight from Python callers and may be huge or hostile, so it never looks
// back, never recurses and does a constant amount of work per byte.
#include "terminal/words.hpp"

#include <cstdint>
#include <utility>

namespace halvorn::terminal {

namespace {

enum class State : std::uint8_t {
    kBetween,        // no word in progress; blanks are skipped
    kBetweenEscape,  // a backslash seen where a word would start
    kWord,           // inside a word, outside quotes
    kWordEscape,     // a backslash seen inside a word, outside quotes
    kSingle,         // inside '...'
    kDouble,         // inside "..."
    kDoubleEscape,   // a backslash seen inside "..."
    kComment,        // from a '#' up to and including the next line feed
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash only escapes these; before anything else
// it is kept as an ordinary character.
bool escapable_in_double_quotes(char c) {
    return c == '$' || c == '`' || c == '"' || c == '\\';
}

}  // namespace

std::optional<std::vector<std::string>> split_words(std::string_view line, std::size_t keep) {
    std::vector<std::string> words;
    std::string word;
    State state = State::kBetween;
    // Whether the word in progress is one to keep; past the kept ones the
    // state machine runs on and stores nothing.
    bool keeping = keep != 0;

    auto add = [&](char c) {
        if (keeping) word += c;
    };
    auto finish_word = [&] {
        if (keeping) {
            words.push_back(std::move(word));
            word.clear();
            keeping = words.size() < keep;
        }
        state = State::kBetween;
    };

    for (char c : line) {
        switch (state) {
            case State::kBetween:
                if (is_blank(c)) break;
                switch (c) {
                    case '#':
                        state = State::kComment;
                        break;
                    case '\\':
                        state = State::kBetweenEscape;
                        break;
                    case '\'':
                        state = State::kSingle;
                        break;
                    case '"':
                        state = State::kDouble;
                        break;
                    default:
                        add(c);
                        state = State::kWord;
                }
                break;

            case State::kBetweenEscape:
                // A line continuation before any character of a word joins
                // nothing and must not conjure up an empty word.
                if (c == '\n') {
                    state = State::kBetween;
                } else {
                    add(c);
                    state = State::kWord;
                }
                break;

            case State::kWord:
                if (is_blank(c)) {
                    finish_word();
                    break;
                }
                switch (c) {
                    case '\\':
                        state = State::kWordEscape;
                        break;
                    case '\'':
                        state = State::kSingle;
                        break;
                    case '"':
                        state = State::kDouble;
                        break;
                    default:
                        add(c);  // '#' included: it only opens a comment between words
                }
                break;

            case State::kWordEscape:
                if (c != '\n') add(c);
                state = State::kWord;
                break;

            case State::kSingle:
                if (c == '\'') {
                    state = State::kWord;
                } else {
                    add(c);
                }
                break;

            case State::kDouble:
                if (c == '"') {
                    state = State::kWord;
                } else if (c == '\\') {
                    state = State::kDoubleEscape;
                } else {
                    add(c);
                }
                break;

            case State::kDoubleEscape:
                if (c == '\n') {
                    // line continuation: both bytes vanish
                } else if (escapable_in_double_quotes(c)) {
                    add(c);
                } else {
                    add('\\');
                    add(c);
                }
                state = State::kDouble;
                break;

            case State::kComment:
                if (c == '\n') state = State::kBetween;
                break;
        }
    }

    switch (state) {
        case State::kBetween:
        case State::kComment:
            break;
        case State::kWord:
            finish_word();
            break;
        case State::kBetweenEscape:
        case State::kWordEscape:
        case State::kSingle:
        case State::kDouble:
        case State::kDoubleEscape:
            return std::nullopt;
    }
    return words;
}

}  // namespace halvorn::terminal
