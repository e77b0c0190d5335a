#include "terminal/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using halvorn::terminal::decode_utf8_lossy;
using Bytes = std::vector<std::uint8_t>;

#define FFFD "\xEF\xBF\xBD"

std::string decode(const Bytes& bytes) {
    return decode_utf8_lossy(bytes);
}

std::string decode(const std::string& text) {
    return decode(Bytes(text.begin(), text.end()));
}

struct Case {
    Bytes in;
    std::string out;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE("bytes " + testing::PrintToString(c.in));
        EXPECT_EQ(decode(c.in), c.out);
    }
}

TEST(DecodeUtf8Lossy, WellFormedTextPassesUnchanged) {
    const std::vector<std::string> texts = {
        "",
        std::string("a\0b", 3),
        "plain ASCII longer than one eight-byte chunk",
        "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80",
        // The edges of every range in the table of well-formed sequences.
        "\xC2\x80",
        "\xDF\xBF",
        "\xE0\xA0\x80",
        "\xE0\xBF\xBF",
        "\xE1\x80\x80",
        "\xEC\xBF\xBF",
        "\xED\x80\x80",
        "\xED\x9F\xBF",
        "\xEE\x80\x80",
        "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80",
        "\xF0\xBF\xBF\xBF",
        "\xF1\x80\x80\x80",
        "\xF3\xBF\xBF\xBF",
        "\xF4\x80\x80\x80",
        "\xF4\x8F\xBF\xBF",
        // A replacement character already present is just text.
        FFFD,
        // Multi-byte characters right at the edge of the ASCII fast path.
        "1234567\xC3\xA9"
        "12345678\xF0\x9F\x98\x80"
        "123456789",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(decode(text), text);
    }
}

TEST(DecodeUtf8Lossy, BytesThatNeverStartASequence) {
    check({
        {{0x61, 0xFF, 0x62}, "a" FFFD "b"},
        {{0x80}, FFFD},
        {{0xBF, 0x80}, FFFD FFFD},
        {{0xC0, 0xAF}, FFFD FFFD},
        {{0xC1, 0xBF}, FFFD FFFD},
        {{0xF5, 0x80, 0x80, 0x80}, FFFD FFFD FFFD FFFD},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, FFFD FFFD FFFD FFFD FFFD},
        {{0xFE, 0xFF}, FFFD FFFD},
    });
}

TEST(DecodeUtf8Lossy, ForbiddenSecondBytesEndTheSubpartAtTheLeadByte) {
    check({
        {{0xE0, 0x80, 0x80}, FFFD FFFD FFFD},             // overlong
        {{0xE0, 0x9F, 0xBF}, FFFD FFFD FFFD},             // overlong
        {{0xED, 0xA0, 0x80}, FFFD FFFD FFFD},             // surrogate
        {{0xED, 0xBF, 0xBF}, FFFD FFFD FFFD},             // surrogate
        {{0xF0, 0x80, 0x80, 0x80}, FFFD FFFD FFFD FFFD},  // overlong
        {{0xF0, 0x8F, 0xBF, 0xBF}, FFFD FFFD FFFD FFFD},  // overlong
        {{0xF4, 0x90, 0x80, 0x80}, FFFD FFFD FFFD FFFD},  // beyond U+10FFFF
    });
}

TEST(DecodeUtf8Lossy, TruncatedSequencesBecomeOneReplacementEach) {
    check({
        {{0xC2}, FFFD},
        {{0xE1, 0x80}, FFFD},
        {{0xF0}, FFFD},
        {{0xF0, 0x9F}, FFFD},
        {{0xF0, 0x9F, 0x98}, FFFD},
        {{0x61, 0xF4, 0x8F, 0xBF}, "a" FFFD},
        // The byte that breaks a sequence is not swallowed.
        {{0xC2, 0x41}, FFFD "A"},
        {{0xE2, 0x41}, FFFD "A"},
        {{0xE2, 0x82, 0x41}, FFFD "A"},
        {{0xF0, 0x90, 0x80, 0x41}, FFFD "A"},
        {{0xF4, 0x8F, 0xBF, 0xC0}, FFFD FFFD},
        {{0xC2, 0xC2, 0xA9}, FFFD "\xC2\xA9"},
        {{0xE2, 0x82, 0xE2, 0x82, 0xAC}, FFFD "\xE2\x82\xAC"},
        {{0xF0, 0x9F, 0x98, 0xF0, 0x9F, 0x98, 0x80}, FFFD "\xF0\x9F\x98\x80"},
        // The worked example of maximal-subpart substitution.
        {{0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64},
         "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
    });
}

// ASCII is copied in chunks, so put a bad byte and a good multi-byte
// character at every offset of a long ASCII run.
TEST(DecodeUtf8Lossy, NonAsciiAtEveryOffsetOfAnAsciiRun) {
    for (std::size_t pos = 0; pos < 20; ++pos) {
        SCOPED_TRACE(pos);
        Bytes bad(20, 'x');
        bad[pos] = 0xFF;
        EXPECT_EQ(decode(bad), std::string(pos, 'x') + FFFD + std::string(19 - pos, 'x'));

        const std::string good =
            std::string(pos, 'x') + "\xE2\x82\xAC" + std::string(19 - pos, 'x');
        EXPECT_EQ(decode(good), good);
    }
}

// Whatever goes in, what comes out is well-formed: decoding it again changes
// nothing. Exhaustive over two bytes, sampled over longer mixes of the bytes
// where the rules change.
TEST(DecodeUtf8Lossy, OutputIsAlwaysWellFormed) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const std::string once = decode(Bytes{std::uint8_t(a), std::uint8_t(b)});
            ASSERT_EQ(decode(once), once) << a << ' ' << b;
        }
    }

    const std::uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                        0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                        0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(interesting) - 1);
    for (int round = 0; round < 20'000; ++round) {
        Bytes in(1 + round % 9);
        for (auto& byte : in)
            byte = interesting[pick(random)];
        const std::string once = decode(in);
        ASSERT_EQ(decode(once), once) << testing::PrintToString(in);
    }
}

}  // namespace
