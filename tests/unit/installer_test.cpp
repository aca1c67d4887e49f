// The upgrade installer in a scratch directory, with a private /tmp for the
// package it takes from /tmp/.uci.
#include "scratch.h"
#include "supervisor/supervisor.h"
#include "upgrade/upgrade.h"

#include <dirent.h>
#include <set>

static const char *PACKAGE = "/tmp/.uci//vqupgrade.tgz";
static const char *RECORD = "../data/.bootchk";

class Installer : public scratch_test {
protected:
    void SetUp() override
    {
        if (!private_tmp())
            GTEST_SKIP() << "needs root for a private /tmp";
        scratch_test::SetUp();
        system("rm -rf /tmp/.uci && mkdir -p /tmp/.uci");
    }

    void package(const std::string &kind)
    {
        if (kind == "archive") {
            mkdir("../pkg", 0755);
            write_file("../pkg/plugin.so", "plugin bytes");
            ASSERT_EQ(system("tar -czf /tmp/.uci/vqupgrade.tgz -C ../pkg plugin.so"), 0);
        } else if (kind == "corrupt") {
            write_file(PACKAGE, "not a gzip archive");
        } else if (kind == "bytes") {
            write_file(PACKAGE, std::string(5000, 'l') + "end");
        }
    }

    std::set<std::string> data_files()
    {
        std::set<std::string> names;
        DIR *d = opendir("../data");
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        closedir(d);
        return names;
    }
};

TEST_F(Installer, InstallsAndRecordsByStatus)
{
    struct install_case {
        const char *name;
        const char *before;  // the record; nullptr: none
        const char *pkg;     // archive, corrupt, bytes or none
        int code;
        const char *after;   // nullptr: no record
        int upgraded;
    };
    const install_case cases[] = {
        {"plugin", nullptr, "archive", 130, R"({"version":"23.7.20.15","plugindata":1})", 1},
        {"corrupt plugin", nullptr, "corrupt", 130, R"({"version":"23.7.20.15"})", 0},
        {"lua", nullptr, "bytes", 131, R"({"version":"23.7.20.15","luadata":1})", 0},
        {"other", nullptr, "bytes", 132, R"({"version":"23.7.20.15"})", 0},
        {"other reprints compactly", "{\n \"version\" : \"9\",\n \"x\": [1, 2]\n}", "bytes", 132,
         R"({"version":"9","x":[1,2]})", 0},
        {"second plugin", R"({"version":"23.7.20.15","plugindata":1})", "archive", 130,
         R"({"version":"23.7.20.15","plugindata":1,"plugindata":1})", 1},
        {"first plugindata still decides", R"({"version":"23.7.20.15","plugindata":0})",
         "archive", 130, R"({"version":"23.7.20.15","plugindata":0,"plugindata":1})", 0},
        {"version a number", R"({"version":5})", "bytes", 132,
         R"({"version":5,"version":"23.7.20.15"})", 0},
        {"version added after", R"({"plugindata":1})", "corrupt", 130,
         R"({"plugindata":1,"version":"23.7.20.15"})", 1},
        {"invalid record replaced", "{\"version\":", "bytes", 132, R"({"version":"23.7.20.15"})",
         0},
        {"record not an object", "[1]", "bytes", 132, R"({"version":"23.7.20.15"})", 0},
        {"no package", R"({"plugindata":1})", "none", 130, R"({"plugindata":1})", 0},
        {"no package, no record", nullptr, "none", 131, nullptr, 0},
    };
    for (const install_case &c : cases) {
        SCOPED_TRACE(c.name);
        system("rm -rf ../data/* ../data/.bootchk* /tmp/.uci/*");
        if (c.before != nullptr)
            write_file(RECORD, c.before);
        package(c.pkg);

        install_upgrade(c.code);

        if (c.after == nullptr)
            EXPECT_FALSE(file_exists(RECORD));
        else
            EXPECT_EQ(read_file(RECORD), c.after);
        EXPECT_EQ(bootchk_upgraded(), c.upgraded);
        EXPECT_FALSE(file_exists(PACKAGE));
        std::set<std::string> want;
        if (c.after != nullptr)
            want.insert(".bootchk");
        if (std::string(c.pkg) == "archive")
            want.insert("plugin.so");
        if (c.code == 131 && std::string(c.pkg) == "bytes")
            want.insert("psec");
        EXPECT_EQ(data_files(), want) << "no temporary file left, nothing else written";
    }
}

TEST_F(Installer, LuaPackageIsCopiedWholeWithMode0700)
{
    package("bytes");
    umask(022);
    install_upgrade(EXIT_INSTALL_LUA);
    EXPECT_EQ(read_file("../data/psec"), std::string(5000, 'l') + "end");
    struct stat st;
    ASSERT_EQ(stat("../data/psec", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Installer, FailedCopyRecordsNoLuadata)
{
    // A directory opens, but cannot be read as a file.
    ASSERT_EQ(mkdir(PACKAGE, 0755), 0);
    install_upgrade(EXIT_INSTALL_LUA);
    EXPECT_EQ(read_file(RECORD), R"({"version":"23.7.20.15"})");
}

class CopyFile : public scratch_test {};

TEST_F(CopyFile, VanishedSourceLeavesTheDestinationAlone)
{
    write_file("installed", "the installed package");
    testing::internal::CaptureStdout();
    int result = copy_file("vanished", "installed");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to read or write, in, -1, out, -1\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(read_file("installed"), "the installed package");
}

TEST_F(CopyFile, ReportsReadAndWriteErrors)
{
    write_file("src", "data");
    mkdir("a-directory", 0755);
    EXPECT_EQ(copy_file("a-directory", "dst"), -1);  // read fails
    EXPECT_EQ(copy_file("src", "/dev/full"), -1);    // write fails
    testing::internal::CaptureStdout();
    int result = copy_file("src", "no-such-dir/dst");
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(out.rfind("Failed to read or write, in, ", 0) == 0 &&
                out.find(", out, -1\n") != std::string::npos)
        << out;
}

TEST_F(CopyFile, CopiesEveryByteAndKeepsAnExistingMode)
{
    std::string big;
    for (int i = 0; i < 100000; i++)
        big += static_cast<char>(i * 7);
    write_file("src", big);
    write_file("dst", "old content that is longer than nothing");
    chmod("dst", 0640);
    EXPECT_EQ(copy_file("src", "dst"), 0);
    EXPECT_EQ(read_file("dst"), big);
    struct stat st;
    ASSERT_EQ(stat("dst", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

class SaveFile : public scratch_test {};

TEST_F(SaveFile, ReplacesTheFileWholeAndLeavesNoTemporary)
{
    write_file("record", "a much longer old record that must not show through");
    EXPECT_EQ(save_file("record", "{\"a\":1}", 7), 0);
    EXPECT_EQ(read_file("record"), "{\"a\":1}");
    EXPECT_EQ(system("test $(ls -A | wc -l) -eq 1"), 0);

    EXPECT_EQ(save_file("no-such-dir/record", "x", 1), -1);
    EXPECT_EQ(save_file("a-dir-in-the-way/", "x", 1), -1);
    EXPECT_EQ(system("test $(ls -A | wc -l) -eq 1"), 0);
}

TEST_F(SaveFile, WhatSitsAtTheTemporaryNameIsReplacedNeverFollowed)
{
    struct in_the_way {
        const char *name;
        const char *setup;  // shell commands that put something at record.tmp
        int want;
    };
    const in_the_way cases[] = {
        {"left by a power cut", "echo '{\"torn' > record.tmp", 0},
        {"link to a file of someone else", "ln -s victim record.tmp", 0},
        {"dangling link", "ln -s nowhere/victim record.tmp", 0},
        {"directory", "mkdir -p record.tmp/x", -1},
    };
    for (const in_the_way &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(system("rm -rf ./* && echo precious > victim && echo old > record"), 0);
        ASSERT_EQ(system(c.setup), 0);

        EXPECT_EQ(save_file("record", "new", 3), c.want);
        EXPECT_EQ(read_file("victim"), "precious\n");
        EXPECT_EQ(read_file("record"), c.want == 0 ? "new" : "old\n");
        if (c.want == 0)
            EXPECT_FALSE(file_exists("record.tmp"));
        EXPECT_FALSE(file_exists("nowhere"));
    }
}
