#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idsource/IdList.h"
#include "platform/Codepage.h"

namespace ts {
namespace {

IdList Make(std::initializer_list<std::u16string_view> texts) {
    IdList list;
    for (auto t : texts) EXPECT_TRUE(list.Append(t));
    return list;
}

TEST(IdListTest, IndexesPastTheEndAreHarmless) {
    IdList list = Make({u"A1", u"", u"B2"});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.Text(0), u"A1");
    EXPECT_EQ(list.Text(1), u"");
    EXPECT_EQ(list.Text(2), u"B2");
    for (size_t i : {size_t{3}, size_t{64}, IdList::npos}) {
        EXPECT_EQ(list.Text(i), u"") << i;
        EXPECT_FALSE(list.IsUsed(i)) << i;
        EXPECT_FALSE(list.MarkUsed(i)) << i;
    }
    EXPECT_TRUE(list.MarkUsed(2));
    EXPECT_TRUE(list.IsUsed(2));
    EXPECT_FALSE(list.IsUsed(1));
    EXPECT_EQ(list.Entry(2).text, u"B2");
    EXPECT_TRUE(list.Entry(2).used);

    IdList empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.Text(0), u"");
    EXPECT_FALSE(empty.MarkUsed(0));
    EXPECT_EQ(empty.NextUnused(0), 0u);
    EXPECT_TRUE(empty.FilterByPrefix(u"").empty());
}

TEST(IdListTest, ClearAndSwapMoveEverything) {
    IdList a = Make({u"A1", u"A2"});
    a.MarkUsed(1);
    IdList b = Make({u"B1"});
    a.swap(b);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(a.Text(0), u"B1");
    EXPECT_FALSE(a.IsUsed(0));
    EXPECT_EQ(b.Text(1), u"A2");
    EXPECT_TRUE(b.IsUsed(1));
    b.Clear();
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(b.IsUsed(1));
    EXPECT_TRUE(b.Append(u"C1"));
    EXPECT_EQ(b.Text(0), u"C1");
    EXPECT_FALSE(b.IsUsed(0));
}

// The next unused entry, across the 64-entry words of the used marks.
TEST(IdListTest, NextUnusedSkipsUsedEntries) {
    struct Case {
        std::vector<size_t> used;
        size_t from;
        size_t expected;
    };
    auto range = [](size_t a, size_t b) {
        std::vector<size_t> v;
        for (size_t i = a; i < b; ++i) v.push_back(i);
        return v;
    };
    const std::vector<Case> cases = {
        {{}, 0, 0},
        {{0, 1, 2}, 0, 3},
        {{0, 1, 2}, 1, 3},
        {{0, 2}, 1, 1},
        {range(0, 64), 0, 64},
        {range(5, 130), 5, 130},
        {range(63, 200), 63, 200},
        {range(0, 200), 0, 200},
        {{}, 199, 199},
        {{}, 200, 200},
        {{}, 5000, 5000},
    };
    for (const auto& c : cases) {
        IdList l;
        for (int i = 0; i < 200; ++i) l.Append(u"X");
        for (size_t u : c.used) l.MarkUsed(u);
        EXPECT_EQ(l.NextUnused(c.from), c.expected) << "from " << c.from;
    }
    // The tail of the last word (past the end) never counts as unused.
    IdList three = Make({u"A", u"B", u"C"});
    three.MarkUsed(0);
    three.MarkUsed(1);
    three.MarkUsed(2);
    EXPECT_EQ(three.NextUnused(0), 3u);
}

// The automatic write's cursor over a list of three IDs.
TEST(IdListTest, CursorWalksUnusedEntriesInFileOrder) {
    IdList list = Make({u"A1", u"A2", u"A3"});
    uint32_t cursor = 0;
    std::vector<std::u16string> written;
    while (list.AdvanceToUnused(cursor)) {
        written.emplace_back(list.Text(cursor));
        list.MarkUsedAndAdvance(cursor);
    }
    EXPECT_EQ(written, (std::vector<std::u16string>{u"A1", u"A2", u"A3"}));
    EXPECT_EQ(cursor, 3u);
    EXPECT_FALSE(list.MarkUsedAndAdvance(cursor));  // at the end: nothing happens
    EXPECT_EQ(cursor, 3u);

    // A manual write of the head makes the automatic write start at the second.
    IdList second = Make({u"A1", u"A2", u"A3"});
    uint32_t c2 = 0;
    second.MarkUsed(second.FindLast(u"A1"));
    ASSERT_TRUE(second.AdvanceToUnused(c2));
    EXPECT_EQ(c2, 1u);
    // Marking the current one used steps over the used ones behind it.
    second.MarkUsed(2);
    EXPECT_FALSE(second.MarkUsedAndAdvance(c2));
    EXPECT_EQ(c2, 3u);
    EXPECT_TRUE(second.IsUsed(1));
}

TEST(IdListTest, FindLastMatchAsksOncePerUsedCopy) {
    IdList list = Make({u"AA", u"BB", u"AA", u"AA", u"aa"});
    EXPECT_EQ(list.FindLast(u"AA"), 3u);
    EXPECT_EQ(list.FindLast(u"CC"), IdList::npos);
    EXPECT_EQ(list.FindLast(u"A"), IdList::npos);  // whole string only
    EXPECT_EQ(list.FindLast(u"aa"), 4u);           // case-sensitive

    list.MarkUsed(0);
    list.MarkUsed(2);
    struct Case {
        const char* name;
        std::vector<bool> answers;  // answer to each question, in order
        std::vector<size_t> asked;
        size_t last;
        bool stopped;
    };
    const std::vector<Case> cases = {
        {"yes to both", {true, true}, {0, 2}, 3, false},
        {"no to the first", {false}, {0}, 0, true},
        {"yes then no", {true, false}, {0, 2}, 2, true},
    };
    for (const auto& c : cases) {
        std::vector<size_t> asked;
        auto m = list.FindLastMatch(u"AA", [&](size_t i) {
            asked.push_back(i);
            return c.answers[asked.size() - 1];
        });
        EXPECT_EQ(asked, c.asked) << c.name;
        EXPECT_EQ(m.last, c.last) << c.name;
        EXPECT_EQ(m.stopped, c.stopped) << c.name;
    }
}

TEST(IdListTest, FilterByPrefixKeepsListOrder) {
    IdList list = Make({u"A100", u"A200", u"B100", u"A1", u"", u"A100"});
    struct Case {
        std::u16string prefix;
        std::vector<uint32_t> rows;
    };
    const std::vector<Case> cases = {
        {u"", {0, 1, 2, 3, 4, 5}},
        {u"a", {0, 1, 3, 5}},
        {u"a1", {0, 3, 5}},
        {u"A10", {0, 5}},
        {u"A1000", {}},  // longer than every entry
        {u"b", {2}},
        {u"A 1", {}},  // a blank never matches
        {u"\u00E9", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list.FilterByPrefix(c.prefix), c.rows) << U8(c.prefix);
    }
}

}  // namespace
}  // namespace ts
