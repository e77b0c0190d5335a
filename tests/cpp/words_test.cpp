#include "terminal/words.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using halvorn::terminal::split_words;
using namespace std::string_literals;
using Words = std::optional<std::vector<std::string>>;

const Words kMalformed = std::nullopt;
const Words kNoWords = std::vector<std::string>{};

struct Case {
    std::string line;
    Words words;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE("line " + testing::PrintToString(c.line));
        EXPECT_EQ(split_words(c.line), c.words);
        // Keeping fewer words keeps the first ones and refuses the same lines.
        for (std::size_t keep : {0, 1, 2}) {
            Words first = c.words;
            if (first && first->size() > keep) first->resize(keep);
            EXPECT_EQ(split_words(c.line, keep), first) << "keeping " << keep;
        }
    }
}

TEST(SplitWords, BlanksSeparateAndEveryOtherByteIsOrdinary) {
    check({
        {"", kNoWords},
        {" \t\n \n\t", kNoWords},
        {"ls", Words{{"ls"}}},
        {"  ls \t -l\n/a  ", Words{{"ls", "-l", "/a"}}},
        // Carriage return is not a blank: a line from a CRLF source keeps it.
        {"pwd\r", Words{{"pwd\r"}}},
        {"a\rb \r", Words{{"a\rb", "\r"}}},
        {"\v\f x", Words{{"\v\f", "x"}}},
        {"a\0b c"s, Words{{"a\0b"s, "c"}}},
        // High bytes are never blanks, whether they form UTF-8 or not
        // (A0 and 85 are blanks in some legacy encodings).
        {"caf\xC3\xA9 \xFF\x80", Words{{"caf\xC3\xA9", "\xFF\x80"}}},
        {"x\xA0y\x85z", Words{{"x\xA0y\x85z"}}},
    });
}

TEST(SplitWords, CommentsOnlyWhereAWordWouldStart) {
    check({
        {"#", kNoWords},
        {"# note", kNoWords},
        {"ls # list everything", Words{{"ls"}}},
        {"x\t#", Words{{"x"}}},
        {"ls a#b", Words{{"ls", "a#b"}}},
        {"ls#x", Words{{"ls#x"}}},
        {"'#' \\# \"#\" ''#", Words{{"#", "#", "#", "#"}}},
        // A comment ends at a line feed and splitting resumes after it.
        {"# c\nls -l", Words{{"ls", "-l"}}},
        {"a # c\nb", Words{{"a", "b"}}},
        {"a #c1\n#c2\n\nb #c3", Words{{"a", "b"}}},
        // Quotes and backslashes inside a comment mean nothing...
        {"ls # don't \"worry\\", Words{{"ls"}}},
        // ...but the text after the comment's line feed is split normally.
        {"ls # c\n'open", kMalformed},
    });
}

TEST(SplitWords, SingleQuotesAreFullyLiteral) {
    check({
        {"cd 'my dir'", Words{{"cd", "my dir"}}},
        {"''", Words{{""}}},
        {"a '' b ''", Words{{"a", "", "b", ""}}},
        {"a'b c'd", Words{{"ab cd"}}},
        {"'a\\b\"c$`'", Words{{"a\\b\"c$`"}}},
        {"'a\nb\\\nc'", Words{{"a\nb\\\nc"}}},
        {"'\\'", Words{{"\\"}}},
        {"'it'\\''s'", Words{{"it's"}}},
        {"'", kMalformed},
        {"cat 'abc", kMalformed},
        {"'a'b'", kMalformed},
    });
}

TEST(SplitWords, DoubleQuotesEscapeOnlyFourCharactersAndLineFeed) {
    check({
        {"cd \"my dir\"", Words{{"cd", "my dir"}}},
        {"\"\"", Words{{""}}},
        {"\"\" \"\"", Words{{"", ""}}},
        {"cat \"a\\b\"", Words{{"cat", "a\\b"}}},
        {"cat \"a\\\"b\"", Words{{"cat", "a\"b"}}},
        {"\"\\$\\`\\\\\"", Words{{"$`\\"}}},
        {"\"\\n\\'\\#\\ \"", Words{{"\\n\\'\\#\\ "}}},
        // Backslash-newline vanishes; a bare newline is kept.
        {"\"a\\\nb\"", Words{{"ab"}}},
        {"\"a\nb\"", Words{{"a\nb"}}},
        {"\"'\" \"a'b\"", Words{{"'", "a'b"}}},
        {"\"\\\\\"x", Words{{"\\x"}}},
        {"x\"y z\"'w v'\"\"", Words{{"xy zw v"}}},
        {"\"abc", kMalformed},
        {"\"abc\\", kMalformed},
        // An escaped quote does not close the section.
        {"\"abc\\\"", kMalformed},
    });
}

TEST(SplitWords, UnquotedBackslashTakesTheNextByteLiterally) {
    check({
        {"cd my\\ dir", Words{{"cd", "my dir"}}},
        {"\\' \\\" \\\\ \\\t \\a", Words{{"'", "\"", "\\", "\t", "a"}}},
        {"\\\r", Words{{"\r"}}},
        {"\\\xC3\xA9", Words{{"\xC3\xA9"}}},
        {"a\\\\", Words{{"a\\"}}},
        {"\\", kMalformed},
        {"ls \\", kMalformed},
        {"a\\\\\\", kMalformed},
    });
}

TEST(SplitWords, LineContinuationJoinsWithoutMakingWords) {
    check({
        {"ab\\\ncd", Words{{"abcd"}}},
        {"ls \\\n-l", Words{{"ls", "-l"}}},
        {"ls \\\n\\\n  -l", Words{{"ls", "-l"}}},
        // A continuation on its own must not produce an empty word.
        {"\\\n", kNoWords},
        {"ls \\\n", Words{{"ls"}}},
        {"ls \\\n# comment", Words{{"ls"}}},
        // Inside a word the continuation keeps the word going, so '#' is ordinary.
        {"ls\\\n# c", Words{{"ls#", "c"}}},
    });
}

TEST(SplitWords, MixedLines) {
    check({
        {"mkdir \"a b\"  'c'd\\ e # x", Words{{"mkdir", "a b", "cd e"}}},
        {"a b c 'd", kMalformed},
        {"a 'b' \"c\" d\\", kMalformed},
    });
}

TEST(SplitWordsLarge, HundredThousandWords) {
    constexpr int kWords = 100'000;
    std::string line;
    for (int i = 0; i < kWords; ++i) {
        switch (i % 4) {
            case 0:
                line += "word" + std::to_string(i);
                break;
            case 1:
                line += "'quoted " + std::to_string(i) + "'";
                break;
            case 2:
                line += "\"dq\\\"" + std::to_string(i) + "\"";
                break;
            case 3:
                line += "esc\\ " + std::to_string(i);
                break;
        }
        line += (i % 3 == 0) ? "\t" : "  ";
    }
    line += "# trailing comment";

    const Words words = split_words(line);
    ASSERT_TRUE(words.has_value());
    ASSERT_EQ(words->size(), static_cast<std::size_t>(kWords));
    EXPECT_EQ((*words)[0], "word0");
    EXPECT_EQ((*words)[99'997], "quoted 99997");
    EXPECT_EQ((*words)[99'998], "dq\"99998");
    EXPECT_EQ((*words)[99'999], "esc 99999");
}

TEST(SplitWordsLarge, MegabyteRunsOfQuotingBytes) {
    constexpr std::size_t kN = 2'000'000;
    EXPECT_EQ(split_words(std::string(2 * kN, '\\')), Words{{std::string(kN, '\\')}});
    EXPECT_EQ(split_words(std::string(2 * kN + 1, '\\')), kMalformed);
    EXPECT_EQ(split_words(std::string(2 * kN + 1, '\'')), kMalformed);
    EXPECT_EQ(split_words(std::string(kN, '#')), kNoWords);

    std::string empties;
    for (std::size_t i = 0; i < kN / 4; ++i)
        empties += "'' ";
    const Words words = split_words(empties);
    ASSERT_TRUE(words.has_value());
    EXPECT_EQ(words->size(), kN / 4);
}

}  // namespace
