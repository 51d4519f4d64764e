// The project's own profile reader side by side with the platform's
// GetPrivateProfileStringW on one table of files. Where they differ, the
// difference is one of the reader's deliberate mends, named in the case.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Codepage.h"
#include "platform/Profile.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

struct Case {
    const char* name;
    std::string file;
    const char16_t* section;
    const char16_t* key;
    std::u16string ours;
    std::u16string platform;  // equal to `ours` unless a mend differs
};

std::u16string Platform(const std::string& path, const char16_t* section, const char16_t* key) {
    wchar_t buf[260] = {};
    const std::u16string wide = Utf8ToWide(path);
    GetPrivateProfileStringW(reinterpret_cast<const wchar_t*>(section),
                             reinterpret_cast<const wchar_t*>(key), L"-", buf, 260,
                             reinterpret_cast<const wchar_t*>(wide.c_str()));
    return std::u16string(reinterpret_cast<const char16_t*>(buf));
}

TEST(ProfileRule, AgainstGetPrivateProfileString) {
    const std::string longValue(300, 'x');
    const Case cases[] = {
        {"Plain", "[Option]\r\nidvalue=1A2B\r\n", u"Option", u"idvalue", u"1A2B", u"1A2B"},
        {"CaseOfNames", "[OPTION]\r\nIdValue=1A2B\r\n", u"option", u"IDVALUE", u"1A2B", u"1A2B"},
        {"BlanksTrimmed", "[ Option ]\r\n  idvalue =  1A2B  \r\n", u"Option", u"idvalue", u"1A2B",
         u"1A2B"},
        {"FirstDuplicateWins", "[Option]\r\nidvalue=1\r\nidvalue=2\r\n", u"Option", u"idvalue",
         u"1", u"1"},
        {"MissingKey", "[Option]\r\nother=1\r\n", u"Option", u"idvalue", u"-", u"-"},
        {"MissingSection", "[Other]\r\nidvalue=1\r\n", u"Option", u"idvalue", u"-", u"-"},
        {"CommentLine", "[Option]\r\n;idvalue=1\r\nidvalue=2\r\n", u"Option", u"idvalue", u"2",
         u"2"},
        // Mend: quotes are part of the value (the platform strips a pair).
        {"QuotesKept", "[Option]\r\nidvalue=\"1A2B\"\r\n", u"Option", u"idvalue", u"\"1A2B\"",
         u"1A2B"},
        {"LongValueCut", "[Option]\r\nidvalue=" + longValue + "\r\n", u"Option", u"idvalue",
         std::u16string(259, u'x'), std::u16string(259, u'x')},
        {"Gbk", "[Option]\r\nSNPath=\\\xD6\xD0\\id.txt\r\n", u"Option", u"SNPath", u"\\中\\id.txt",
         u"\\中\\id.txt"},
        {"Utf16WithMark", "\xFF\xFE" + test::Utf16Le(u"[Option]\r\nidvalue=中A\r\n"), u"Option",
         u"idvalue", u"中A", u"中A"},
        // Mend: a section written twice (by hand) is searched whole; the
        // platform looks only in its first occurrence.
        {"SectionLaterAgain", "[Option]\r\na=1\r\n[Other]\r\nb=2\r\n[Option]\r\nidvalue=3\r\n",
         u"Option", u"idvalue", u"3", u"-"},
    };
    test::TempDir dir;
    int i = 0;
    for (const Case& c : cases) {
        const std::string path = dir.Dir() + "p" + std::to_string(i++) + ".cfg";
        test::WriteFile(path, c.file);
        EXPECT_EQ(Profile(path).GetString(c.section, c.key, u"-"), c.ours) << c.name;
        EXPECT_EQ(Platform(path, c.section, c.key), c.platform) << c.name;
    }
}

}  // namespace
}  // namespace ts
