// The boot-check record and version texts.
#include "scratch.h"
#include "upgrade/upgrade.h"

class BootchkRecord : public scratch_test {};

TEST_F(BootchkRecord, UpgradedOnlyWithAStringVersionAndPlugindataOne)
{
    struct record_case {
        const char *name;
        const char *record;  // nullptr: no file
        int want;
    };
    const record_case cases[] = {
        {"no record", nullptr, 0},
        {"installed", R"({"version":"23.7.20.15","plugindata":1})", 1},
        {"no version", R"({"plugindata":1})", 0},
        {"version a number", R"({"version":5,"plugindata":1})", 0},
        {"empty version", R"({"version":"","plugindata":1})", 1},
        {"first plugindata decides", R"({"version":"1","plugindata":0,"plugindata":1})", 0},
        {"names in capitals", R"({"VERSION":"1","PLUGINDATA":1})", 1},
        {"plugindata true", R"({"version":"1","plugindata":true})", 1},
        {"plugindata 1.5", R"({"version":"1","plugindata":1.5})", 1},
        {"plugindata a string", R"({"version":"1","plugindata":"1"})", 0},
        {"plugindata 2", R"({"version":"1","plugindata":2})", 0},
        {"not an object", "[1]", 0},
        {"zero bytes", "", 0},
        {"torn by a power cut", R"({"version":"23.7.20.15","plugin)", 0},
        {"formatted", "{\n  \"version\": \"1\",\n  \"plugindata\": 1\n}\n", 1},
    };
    for (const record_case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink("../data/.bootchk");
        if (c.record != nullptr)
            write_file("../data/.bootchk", c.record);
        EXPECT_EQ(bootchk_upgraded(), c.want);
    }
}

TEST_F(BootchkRecord, ClearAnswersOneOnlyWhenTheRecordIsGone)
{
    EXPECT_EQ(clear_bootchk(), 0);

    write_file("../data/.bootchk", "");
    EXPECT_EQ(clear_bootchk(), 1);
    EXPECT_FALSE(file_exists("../data/.bootchk"));

    // Readable but not removable: later cycles would fail the same way forever.
    ASSERT_EQ(mkdir("../data/.bootchk", 0755), 0);
    write_file("../data/.bootchk/inside", "x");
    EXPECT_EQ(clear_bootchk(), 0);
    EXPECT_TRUE(file_exists("../data/.bootchk"));
}

TEST(VersionToU32, OneByteAComponent)
{
    struct version_case {
        const char *text;
        uint32_t want;
    };
    const version_case cases[] = {
        {"23.7.20.15", 0x1707140F}, {"1.2.3", 0x01020300},   {"300", 44u << 24},
        {"1a", 59u << 24},          {"256.1", 0x00010000},  {"", 0},
        {"1.2.3.4.5", 0x01020304},  {".5", 5u << 24},       {"1..2", 0x01020000},
        {"-1", 227u << 24},
    };
    for (const version_case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(version_to_u32(c.text), c.want);
    }
}

TEST(VersionCompare, OrdersEveryPair)
{
    struct compare_case {
        const char *a;
        const char *b;
        int sign;
    };
    const compare_case cases[] = {
        {"23.7.20.15", "23.7.20.15", 0}, {"1.2.3", "1.2.3.0", 0},
        {"1.2.4", "1.2.3", 1},           {"1.2.3", "1.2.4", -1},
        {"200", "1", 1},                 {"1", "200", -1},  // differ by more than 2^31
        {"255.255.255.255", "0", 1},     {"0", "255.255.255.255", -1},
    };
    for (const compare_case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        int got = version_compare(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.sign);
    }
}
