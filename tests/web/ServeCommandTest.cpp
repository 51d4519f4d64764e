// tagsmith-cli serve's refusals: what it will not start with, and why.
#include <gtest/gtest.h>

#include <string>

#include "tests/ledger/LedgerFixture.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

class ServeCommandTest : public test::LedgerFixture {};

TEST_F(ServeCommandTest, RefusesWhatItCannotServeSafely) {
    ASSERT_TRUE(Open("st1"));
    test::WriteFile(dir.Path() / "short.token", "abc\n");
    test::WriteFile(dir.Path() / "good.token", "  0123456789abcdef0123 \n");
    struct Case {
        std::string args;
        int exit;
        const char* says;
    };
    const std::string ledger = "--ledger " + Path() + " serve ";
    const std::vector<Case> cases = {
        {ledger + "--listen 0.0.0.0:0", 2, "--token-file FILE is needed"},
        {ledger + "--listen 10.1.2.3:8780", 2, "--token-file FILE is needed"},
        {ledger + "--listen [::]:0", 2, "--token-file FILE is needed"},
        {ledger + "--listen 127.0.0.1", 2, "not ADDR:PORT"},
        {ledger + "--listen 127.0.0.1:70000", 2, "not ADDR:PORT"},
        {ledger + "--listen", 2, "usage: tagsmith-cli serve"},
        {ledger + "--port 80", 2, "usage: tagsmith-cli serve"},
        {ledger + "--listen 0.0.0.0:0 --token-file " + dir.Dir() + "short.token", 1,
         "at least 16 characters"},
        {ledger + "--token-file " + dir.Dir() + "missing.token", 1, "cannot read"},
        {"--ledger " + dir.Dir() + "none.ledger serve", 1, "no ledger at"},
        {"--ledger off serve", 1, "the ledger is off"},
    };
    for (const Case& c : cases) {
        std::string out;
        const int code =
            test::RunCommand(test::AppDir() + "tagsmith-cli " + c.args + " 2>&1 </dev/null", &out);
        EXPECT_EQ(code, c.exit) << c.args << ": " << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
    }
}

}  // namespace
}  // namespace ts
