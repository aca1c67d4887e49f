// Bounded formatting and shell quoting.
#include "supervisor/supervisor.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

TEST(FormatText, TellsWhetherTheTextFit)
{
    char buf[8];
    EXPECT_EQ(format_text(buf, sizeof buf, "%s", "1234567"), 0);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(format_text(buf, sizeof buf, "%s", "12345678"), -1);
    EXPECT_STREQ(buf, "1234567");
}

// What the shell makes of a quoted word must be the original text, whatever it holds.
static std::string through_shell(const std::string &word)
{
    std::string out;
    FILE *p = popen(("printf '%s' " + word).c_str(), "r");
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

TEST(ShellQuote, TheShellGetsBackTheExactName)
{
    for (const char *name : {"torvin-dpi-inner", "", "x;touch /tmp/pwned", "it's", "''",
                             "$(id) `id` $HOME \\ \" * ?", "a\nb"}) {
        SCOPED_TRACE(name);
        char quoted[256];
        ASSERT_EQ(shell_quote(quoted, sizeof quoted, name), 0);
        EXPECT_EQ(through_shell(quoted), name);
    }
}

TEST(ShellQuote, RefusesRatherThanCuts)
{
    char quoted[6];
    EXPECT_EQ(shell_quote(quoted, sizeof quoted, "abc"), 0);  // 'abc' and NUL
    EXPECT_EQ(shell_quote(quoted, sizeof quoted, "abcd"), -1);
    EXPECT_STREQ(quoted, "");
}

TEST(KillCommand, QuotesTheNameAndHoldsTheLongest)
{
    char command[KILL_CMD_BUF];
    ASSERT_EQ(make_kill_command(command, sizeof command, "it's"), 0);
    EXPECT_STREQ(command, "killall -9 'it'\\''s' >/dev/null 2>&1");

    std::string quotes(PATH_BUF - 1, '\'');
    EXPECT_EQ(make_kill_command(command, sizeof command, quotes.c_str()), 0);
}
