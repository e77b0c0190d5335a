#include "fs/debug_escape.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace halvorn {
namespace {

using namespace std::string_literals;

std::string escaped(std::string_view text) {
    std::string out;
    append_debug_escaped(out, text);
    return out;
}

struct Case {
    std::string input;
    std::string expected;
};

void expect_all(const Case* begin, const Case* end) {
    for (const Case* c = begin; c != end; ++c) {
        EXPECT_EQ(escaped(c->input), c->expected) << "case #" << (c - begin);
    }
}

TEST(DebugEscape, AsciiFixedEscapesAndControls) {
    const Case cases[] = {
        {"", ""},
        {"plain name.txt", "plain name.txt"},
        {"it's", "it's"},
        {R"(a"b\c)", R"(a\"b\\c)"},
        {"\n\r\t\0"s, R"(\n\r\t\0)"},
        {"x\x1by\x7fz", R"(x\u{1b}y\u{7f}z)"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(DebugEscape, NonAsciiByCategoryAndGraphemeExtend) {
    const Case cases[] = {
        {"e\u0301", R"(e\u{301})"},                    // combining acute
        {"\u00e9\u4e00\ud7a3", "\u00e9\u4e00\ud7a3"},  // é, inside First/Last blocks
        {"\u0903", "\u0903"},                          // spacing mark, not Grapheme_Extend
        {"\uff9e", R"(\u{ff9e})"},                     // letter yet Grapheme_Extend
        {"\u0080", R"(\u{80})"},                       // C1 control
        {"a\u00a0b", R"(a\u{a0}b)"},                   // Zs other than space
        {"\u200b\u2028\u2029", R"(\u{200b}\u{2028}\u{2029})"},
        {"\ue000\u0378", R"(\u{e000}\u{378})"},  // private use, unassigned
        {"\U0001f600", "\U0001f600"},            // astral emoji
        {"\U0001d165", R"(\u{1d165})"},          // astral combining mark
        // Edges of table ranges U+0300..U+036F and U+323B0..U+10FFFF.
        {"\u02ff\u0300\u036f\u0370", "\u02ff\\u{300}\\u{36f}\u0370"},
        {"\U000323af\U000323b0\U0010ffff", "\U000323af\\u{323b0}\\u{10ffff}"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

TEST(DebugEscape, IllFormedBytesEscapedOneByOne) {
    const Case cases[] = {
        {"a\x80z", R"(a\x80z)"},                      // lone continuation
        {"a\xe2\x82", R"(a\xe2\x82)"},                // 3-byte sequence cut short
        {"\xc0\xaf\xc1\xbf", R"(\xc0\xaf\xc1\xbf)"},  // overlong 2-byte
        {"\xe0\x80\xaf", R"(\xe0\x80\xaf)"},          // overlong 3-byte
        {"\xf0\x8f\xbf\xbf", R"(\xf0\x8f\xbf\xbf)"},  // overlong 4-byte
        {"\xed\xa0\x80", R"(\xed\xa0\x80)"},          // encoded surrogate
        {"\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},  // above U+10FFFF
        {"\xf5\xf8\xfe\xff", R"(\xf5\xf8\xfe\xff)"},
        // Decoding resumes right after the bad byte.
        {"\xe2(\xa1", R"(\xe2(\xa1)"},
        {"\xe2\u00e9\xf0\U0001f600", "\\xe2\u00e9\\xf0\U0001f600"},
    };
    expect_all(std::begin(cases), std::end(cases));
}

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xc0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xe0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        s += static_cast<char>(0xf0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    }
    return s;
}

// Every non-ASCII scalar value decodes to itself: it is either copied or
// escaped with its own code point, never split into bytes.
TEST(DebugEscape, EveryScalarValueCopiedOrEscapedWhole) {
    for (char32_t cp = 0x80; cp <= 0x10ffff; ++cp) {
        if (cp == 0xd800) cp = 0xe000;
        const std::string in = utf8(cp);
        char esc[16];
        std::snprintf(esc, sizeof esc, "\\u{%x}", static_cast<unsigned>(cp));
        const std::string out = escaped(in);
        ASSERT_TRUE(out == in || out == esc) << esc << " -> " << out;
    }
}

TEST(DebugEscape, AppendsToExistingText) {
    std::string out = "name: \"";
    append_debug_escaped(out, "a\"\u0301");
    EXPECT_EQ(out, R"(name: "a\"\u{301})");
}

}  // namespace
}  // namespace halvorn
