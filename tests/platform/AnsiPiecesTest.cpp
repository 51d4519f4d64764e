#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Codepage.h"

namespace ts {
namespace {

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// "批" in CP936: two bytes, one unit.
const std::string kPi = "\xC5\xFA";

struct PieceCase {
    std::string name;
    std::string ansi;
};

// Texts whose characters and bad bytes fall on and around the end of the
// first piece's output.
std::vector<PieceCase> PieceCases() {
    std::vector<PieceCase> cases = {
        {"empty", ""},
        {"two-byte characters over several pieces", Repeat(kPi, 2 * kAnsiPieceUnits + 3)},
        {"one ASCII byte shifts the pairs", "A" + Repeat(kPi, kAnsiPieceUnits + 1)},
        {"lead byte cut off by the end", Repeat(kPi, kAnsiPieceUnits) + "\x81"},
        {"lead byte followed by a space", Repeat("A", 100) + "\x81 " + Repeat(kPi, 100)},
    };
    // A lead byte without its trail byte at each unit from just before the
    // end of the first piece to just after it.
    for (size_t at = kAnsiPieceUnits - 3; at <= kAnsiPieceUnits + 2; ++at) {
        cases.push_back({"bad byte at unit " + std::to_string(at),
                         Repeat("A", at) + "\x81" + "\x20" + Repeat(kPi, 10)});
        cases.push_back({"two-byte character at unit " + std::to_string(at),
                         Repeat("A", at) + kPi + Repeat("B", 10)});
    }
    return cases;
}

TEST(AnsiToWidePiecesTest, JoinedPiecesEqualTheWholeConversion) {
    for (const auto& c : PieceCases()) {
        std::u16string joined;
        size_t largest = 0;
        EXPECT_TRUE(AnsiToWidePieces(c.ansi, [&](std::u16string_view piece) {
            joined += piece;
            largest = std::max(largest, piece.size());
            return true;
        })) << c.name;
        EXPECT_EQ(joined, AnsiToWide(c.ansi)) << c.name;
        EXPECT_LE(largest, kAnsiPieceUnits) << c.name;
    }
    // The whole conversion itself is right about the characters.
    EXPECT_EQ(AnsiToWide(kPi + "\x81"), u"批\xFFFD");
}

TEST(AnsiToWidePiecesTest, ASinkThatStopsEndsTheConversion) {
    const std::string ansi = Repeat(kPi, 3 * kAnsiPieceUnits);
    int calls = 0;
    EXPECT_FALSE(AnsiToWidePieces(ansi, [&](std::u16string_view) {
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace ts
