// The log box's text rules: a line break before every line, and a cap that
// removes the oldest line once the text passes 8192 characters.
#include <gtest/gtest.h>

#include "deviceops/TagsmithCore.h"

namespace ts {
namespace {

TEST(AppendLogTest, EachLineFollowsALineBreakAndIsShownUnchanged) {
    TagsmithCore core;
    MemoryLogView log;
    core.SetLogView(&log);
    core.AppendLog(u"烧写成功 ID: AB\n");
    core.AppendLog(u"second");
    EXPECT_EQ(log.text, u"\r\n烧写成功 ID: AB\n\r\nsecond");
    log.text.clear();  // the clear button
    core.AppendLog(u"x");
    EXPECT_EQ(log.text, u"\r\nx");
}

TEST(AppendLogTest, CapRemovesUpToTheFirstLineBreak) {
    TagsmithCore core;
    MemoryLogView log;
    core.SetLogView(&log);
    const std::u16string line(98, u'a');  // 100 characters with its line break
    for (int i = 0; i < 81; ++i) core.AppendLog(line);
    ASSERT_EQ(log.text.size(), 8100u);
    core.AppendLog(line);  // 8200 > 8192: the leading empty line goes
    EXPECT_EQ(log.text.size(), 8198u);
    EXPECT_EQ(log.text.substr(0, 98), line);
    core.AppendLog(line);  // now the oldest whole line goes
    EXPECT_EQ(log.text.size(), 8198u);
    for (int i = 0; i < 1000; ++i) core.AppendLog(line);
    EXPECT_LE(log.text.size(), 8192u + 100u);

    // A line that holds "\r\n" counts as two: the cut takes only its first part.
    log.text = std::u16string(8190, u'b');
    core.AppendLog(u"one\r\ntwo");
    EXPECT_EQ(log.text, u"one\r\ntwo");
}

}  // namespace
}  // namespace ts
