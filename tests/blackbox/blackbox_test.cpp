// Black-box tests: the real watchd with scripted programs, each run in a
// private namespace with time sped up, checked by what it prints, what it
// writes to its run file and the data directory, and how it starts programs.
#include "fixture.h"

TEST_F(Blackbox, RestartsAfterTenSecondsWithTheExitCodeOrSignal)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 0", "exit 1", "signal 9", "exit 11", "run"});
    sandbox_start(&sb, {.speed = 50, .leak_fd = true});

    ASSERT_TRUE(started("eng", 5));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng", "eng", "eng -r 1", "eng -r 9", "eng -r 11"}));
    // Neither the descriptor watchd inherited nor its run file reaches a child.
    std::vector<start_line> runs = start_lines(&sb, "eng");
    for (const start_line &run : runs)
        EXPECT_EQ(run.fds, "0,1,2");
    EXPECT_EQ(watchd_fds(&sb), "0,1,2,3") << "watchd keeps only its run file";
    // 10 s at 50 times the speed: at least 0.2 s between starts.
    for (size_t i = 1; i < runs.size(); i++) {
        EXPECT_GE(runs[i].ms - runs[i - 1].ms, 180) << "start " << i;
        EXPECT_LT(runs[i].ms - runs[i - 1].ms, 3000) << "start " << i;
    }

    ASSERT_TRUE(wait_until([&] { return events(run_file(&sb)).size() >= 4; }, 5));
    EXPECT_EQ(events(run_file(&sb)), (strings{"eng exited normally with code(0)",
                                              "eng exited normally with code(1)",
                                              "eng killed by signal(9)",
                                              "eng exited normally with code(11)"}));
    EXPECT_EQ(lines_of(run_file(&sb))[0], sb.bin);
    EXPECT_EQ(console(&sb), "Will restart normal prog after 10 secs\n"
                            "Will restart normal prog after 10 secs\n"
                            "Will restart normal prog after 10 secs\n"
                            "Will restart normal prog after 10 secs\n");
    EXPECT_FALSE(file_exists(sb.root + "/exit")) << "watchd ended";
}

TEST_F(Blackbox, SegfaultBackOffGrowsOverSlotsAndCycles)
{
    config_programs({"a", "b"});
    sandbox_program(&sb, "a", {"signal 11", "exit 160", "signal 11", "run"});
    sandbox_program(&sb, "b", {"run", "signal 11", "signal 11", "run"});
    sandbox_start(&sb, {.speed = 2000});

    ASSERT_TRUE(started("a", 4, 30));
    ASSERT_TRUE(started("b", 4, 30));
    std::string out = console(&sb);
    std::regex delays("Will restart segv prog after ([0-9]+) secs\n");
    strings seen;
    for (std::sregex_iterator it(out.begin(), out.end(), delays), end; it != end; ++it)
        seen.push_back((*it)[1]);
    EXPECT_EQ(seen, (strings{"60", "660", "1260", "7200"}));
    EXPECT_EQ(count_of(out, "Will restart normal"), 0);
    EXPECT_EQ(starts(&sb, "a"), (strings{"a", "a -r 11", "a -r 160", "a -r 11"}));
    EXPECT_EQ(starts(&sb, "b"), (strings{"b", "b -r 160", "b -r 11", "b -r 11"}));
    // The last back-off, 7200 s, is 3.6 s here.
    std::vector<start_line> b = start_lines(&sb, "b");
    EXPECT_GE(b[3].ms - b[2].ms, 3400);
}

TEST_F(Blackbox, RestartAllStartsEveryProgramAgainAtOnce)
{
    config_programs({"o'k", "b"});
    sandbox_program(&sb, "o'k", {"run", "run"});
    sandbox_program(&sb, "b", {"exit 160 after 300", "run"});
    sandbox_start(&sb, {.speed = 1});

    ASSERT_TRUE(started("o'k", 2, 10));
    ASSERT_TRUE(started("b", 2, 10));
    EXPECT_EQ(starts(&sb, "o'k"), (strings{"o'k", "o'k -r 160"}));
    EXPECT_EQ(starts(&sb, "b"), (strings{"b", "b -r 160"}));
    // The first o'k was killed by name (its quote survives the shell) and
    // reaped as a stranger; nobody waited for a restart delay.
    ASSERT_TRUE(wait_until([&] { return count_of(console(&sb), "for reexec\n") >= 1; }, 5));
    EXPECT_EQ(count_of(console(&sb), "Will restart"), 0);
    EXPECT_EQ(events(run_file(&sb)), (strings{"b exited normally with code(160)"}));
    std::vector<start_line> b = start_lines(&sb, "b");
    EXPECT_LT(b[1].ms - b[0].ms, 5000);
}

TEST_F(Blackbox, ProgramNamedWithAPathIsKilledAtARestartOfAll)
{
    // BusyBox's killall matches only the last part of a name, so a base with
    // a path would escape the kill by name there: the old instance must not
    // run on beside the new one.
    config_programs({"sub/eng", "aux"});
    sandbox_program(&sb, "sub/eng", {"run", "run"});
    sandbox_program(&sb, "aux", {"exit 160 after 300", "run"});
    sandbox_start(&sb);

    ASSERT_TRUE(started("eng", 2));
    ASSERT_TRUE(started("aux", 2));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"sub/eng", "sub/eng -r 160"}));
    ASSERT_TRUE(wait_until([&] { return watchd_children(&sb).size() == 2; }, 5))
        << watchd_children(&sb).size() << " children";
}

TEST_F(Blackbox, PluginInstallSwitchesToTheDataLayout)
{
    config(R"({"__watch":{"processes":[{"base":"eng","excheck":true}]}})");
    sandbox_program(&sb, "eng", {"exit 130", "run"});
    // The package holds the new engine itself.
    mkdir((sb.root + "/pkg").c_str(), 0755);
    ASSERT_EQ(system(("cp '" + sb.bin + "/eng' '" + sb.root + "/pkg/eng' && mkdir -p '" + sb.uci +
                      "' && tar -czf '" + sb.uci + "/vqupgrade.tgz' -C '" + sb.root +
                      "/pkg' eng")
                         .c_str()),
              0);
    sandbox_start(&sb, {.args = {""}});

    ASSERT_TRUE(started("eng", 2));
    EXPECT_EQ(starts(&sb, "eng"),
              (strings{"eng -d -A /tmp/.uci//eng.alive",
                       "../data//eng -r 130 -d -A /tmp/.uci//eng.alive -T /tmp/.uci/ -D ../data/ "
                       "-O brd_R7740QX"}));
    EXPECT_EQ(record(), R"({"version":"23.7.20.15","plugindata":1})");
    EXPECT_FALSE(file_exists(sb.uci + "/vqupgrade.tgz"));
    EXPECT_TRUE(file_exists(sb.data + "/eng"));
    EXPECT_FALSE(file_exists(sb.data + "/.bootchk.tmp"));
}

TEST_F(Blackbox, FailedBootFallsBackThenGivesUp)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 129"});
    mkdir(sb.data.c_str(), 0755);
    write_file(sb.data + "/.bootchk", R"({"version":"1","plugindata":1})");
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_EQ(console(&sb), "failed to exec ../data//eng, error is No such file or directory\n"
                            "failed boot, then clean bootchk, and try again\n"
                            "failed for normal boot, exit\n");
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng -r 129"}));
    EXPECT_FALSE(file_exists(sb.data + "/.bootchk"));
    EXPECT_EQ(events(run_file(&sb)), (strings{"eng exited normally with code(129)",
                                              "eng exited normally with code(129)"}));
}

TEST_F(Blackbox, RecordThatCannotBeRemovedEndsSupervision)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 129", "exit 129", "exit 129"});
    // A directory in the record's place: readable, but unlink cannot remove it.
    ASSERT_EQ(system(("mkdir -p '" + sb.data + "/.bootchk/x'").c_str()), 0);
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_EQ(console(&sb), "failed for normal boot, exit\n");
    EXPECT_EQ(starts(&sb, "eng").size(), 1u);
}

TEST_F(Blackbox, LuaInstallCopiesThePackage)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 131", "run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    std::string package = "lua package\n" + std::string(3000, 'x');
    write_file(sb.uci + "/vqupgrade.tgz", package);
    sandbox_start(&sb);

    ASSERT_TRUE(started("eng", 2));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng", "eng -r 131"}));
    EXPECT_EQ(read_file(sb.data + "/psec"), package);
    struct stat st;
    ASSERT_EQ(stat((sb.data + "/psec").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(record(), R"({"version":"23.7.20.15","luadata":1})");
    EXPECT_FALSE(file_exists(sb.uci + "/vqupgrade.tgz"));
}

TEST_F(Blackbox, InstallWithoutPackageStillRestartsEverything)
{
    config_programs({"eng", "aux"});
    // It asks once aux has started and logged its start.
    sandbox_program(&sb, "eng", {"exit 132 after 300", "run"});
    sandbox_program(&sb, "aux", {"run", "run"});
    sandbox_start(&sb);

    ASSERT_TRUE(started("eng", 2));
    ASSERT_TRUE(started("aux", 2));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng", "eng -r 132"}));
    EXPECT_EQ(starts(&sb, "aux"), (strings{"aux", "aux -r 132"}));
    EXPECT_FALSE(file_exists(sb.data + "/.bootchk"));
}

TEST_F(Blackbox, SecondInstanceRefusesAndLeavesTheFirstAlone)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 4", "run"});
    sandbox_start(&sb, {.second_instance = true});

    ASSERT_TRUE(wait_until([&] { return !read_file(sb.root + "/exit2").empty(); }, 20));
    EXPECT_EQ(read_file(sb.root + "/exit2"), "0\n");
    EXPECT_EQ(read_file(sb.root + "/out2"), "already in use for /tmp/.uci/watchd.run\n"
                                            "process(" + sb.bin + "/watchd) already run\n");
    ASSERT_TRUE(started("eng", 2));
    EXPECT_EQ(lines_of(run_file(&sb))[0], sb.bin);
    EXPECT_EQ(events(run_file(&sb)), (strings{"eng exited normally with code(4)"}));
    EXPECT_FALSE(file_exists(sb.root + "/exit"));
}

TEST_F(Blackbox, LeftoverRunFileIsEmptiedAndReclaimed)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    write_file(sb.uci + "/watchd.run", std::string(5000, 'j') + "\nold line\n");
    sandbox_start(&sb, {.cwd = "/tmp"});

    ASSERT_TRUE(started("eng", 1));
    ASSERT_TRUE(wait_until([&] { return run_file(&sb) == sb.bin + "\n"; }, 5)) << run_file(&sb);
    EXPECT_TRUE(file_exists(sb.data));
}

TEST_F(Blackbox, ClosedStandardInputStillGetsEventLines)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"exit 3", "run"});
    sandbox_start(&sb, {.speed = 0, .close_stdin = true});

    ASSERT_TRUE(wait_until([&] { return !events(run_file(&sb)).empty(); }, 10));
    EXPECT_EQ(events(run_file(&sb)), (strings{"eng exited normally with code(3)"}));
    // The program still finds the three standard descriptors open.
    ASSERT_TRUE(started("eng", 1));
    EXPECT_EQ(start_lines(&sb, "eng")[0].fds, "0,1,2");
}

TEST_F(Blackbox, LongNamesReachTheChildAndTheLogWhole)
{
    std::string base = std::string(120, 'd') + "/" + std::string(120, 'e') + "/" +
                       std::string(100, 'f');
    config(R"({"__watch":{"processes":[{"base":")" + base + R"(","excheck":true}]}})");
    sandbox_program(&sb, base, {"exit 5", "run"});
    sandbox_start(&sb);

    std::string name(100, 'f');
    ASSERT_TRUE(started(name, 2));
    EXPECT_EQ(starts(&sb, name)[0], base + " -A /tmp/.uci//" + base + ".alive");
    EXPECT_EQ(starts(&sb, name)[1], base + " -r 5 -A /tmp/.uci//" + base + ".alive");
    EXPECT_EQ(events(run_file(&sb)), (strings{base + " exited normally with code(5)"}));
}

TEST_F(Blackbox, ConfiguredNameIsNeverRunAsShellCode)
{
    config_programs({"x;touch /tmp/pwned"});
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_FALSE(file_exists(sb.root + "/tmp/pwned"));
    EXPECT_EQ(console(&sb), "failed to exec x;touch /tmp/pwned, error is No such file or directory\n"
                            "failed for normal boot, exit\n");
}

TEST_F(Blackbox, EmptyConfigurationRunsTheDefaultEngine)
{
    config("{}");
    sandbox_program(&sb, "torvin-dpi-inner", {"run", "run"});
    sandbox_program(&sb, "other", {"exit 160", "run"});
    sandbox_start(&sb);

    ASSERT_TRUE(started("torvin-dpi-inner", 1));
    EXPECT_EQ(starts(&sb, "torvin-dpi-inner"), (strings{"torvin-dpi-inner"}));
    EXPECT_TRUE(starts(&sb, "other").empty());
}

TEST_F(Blackbox, MoreThanFourProgramsStartsTheFirstFour)
{
    config_programs({"p1", "p2", "p3", "p4", "p5"});
    for (const char *p : {"p1", "p2", "p3", "p4", "p5"})
        sandbox_program(&sb, p, {"run"});
    sandbox_start(&sb);

    for (const char *p : {"p1", "p2", "p3", "p4"})
        ASSERT_TRUE(started(p, 1)) << p;
    ASSERT_TRUE(wait_until([&] { return file_exists(sb.uci + "/watchd.run"); }, 5));
    EXPECT_TRUE(starts(&sb, "p5").empty());
}

struct refused_case {
    const char *name;
    const char *config;  // nullptr: no file at all; "/": a directory in its place
};

static void PrintTo(const refused_case &c, std::ostream *os) { *os << c.name; }

class RefusedConfig : public Blackbox, public ::testing::WithParamInterface<refused_case> {};

TEST_P(RefusedConfig, StartUpFailsBeforeTheRunFile)
{
    const refused_case &c = GetParam();
    if (c.config != nullptr && std::string(c.config) == "/")
        mkdir((sb.bin + "/config").c_str(), 0755);
    else if (c.config != nullptr)
        config(c.config);
    sandbox_program(&sb, "eng", {"run"});
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_EQ(console(&sb), "failed to init daemon\n");
    EXPECT_FALSE(file_exists(sb.uci + "/watchd.run"));
    EXPECT_TRUE(starts(&sb, "eng").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedConfig,
    ::testing::Values(
        refused_case{"missing", nullptr}, refused_case{"empty", ""},
        refused_case{"a_directory", "/"},
        refused_case{"not_json", "watch: eng"},
        refused_case{"second_without_base",
                     R"({"__watch":{"processes":[{"base":"eng"},{"excheck":true}]}})"},
        refused_case{"first_base_a_number",
                     R"({"__watch":{"processes":[{"base":1,"base":"eng"}]}})"}),
    [](const ::testing::TestParamInfo<refused_case> &info) { return info.param.name; });

// The heartbeat check. At 100 times the speed a pass comes every 1.2 s.
class Liveness : public Blackbox {
protected:
    void config_watched(const strings &watched, const strings &plain = {})
    {
        std::string list;
        for (const std::string &n : watched)
            list += std::string(list.empty() ? "" : ",") + R"({"base":")" + n + R"(","excheck":true})";
        for (const std::string &n : plain)
            list += std::string(list.empty() ? "" : ",") + R"({"base":")" + n + R"("})";
        config("{\"__watch\":{\"processes\":[" + list + "]}}");
    }
    static std::string alive_arg(const std::string &name)
    {
        return " -A /tmp/.uci//" + name + ".alive";
    }
};

TEST_F(Liveness, SilentProgramIsKilledAtTheThirdCheckAndRestartedWith199)
{
    config_watched({"eng"});
    // The second life dies of signal 9 by its own hand: no watchdog kill.
    sandbox_program(&sb, "eng", {"run", "signal 9", "run", "run"});
    sandbox_start(&sb);

    ASSERT_TRUE(started("eng", 4, 30));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng" + alive_arg("eng"), "eng -r 199" + alive_arg("eng"),
                                           "eng -r 9" + alive_arg("eng"),
                                           "eng -r 199" + alive_arg("eng")}));
    EXPECT_GE(watchd_threads(&sb), sandbox_base_threads() + 1) << "the loop and the monitor";
    strings want = {"eng is not alive, and we will kill it.", "eng killed by signal(9)",
                    "eng killed by signal(9)", "eng is not alive, and we will kill it.",
                    "eng killed by signal(9)"};
    ASSERT_TRUE(wait_until([&] { return events(run_file(&sb)).size() >= want.size(); }, 5));
    EXPECT_EQ(events(run_file(&sb)), want);

    // Three passes of 120 s, then the 10 s delay: 3.7 s here.
    std::vector<start_line> runs = start_lines(&sb, "eng");
    EXPECT_GE(runs[1].ms - runs[0].ms, 3400);
    EXPECT_LT(runs[1].ms - runs[0].ms, 5500);
    // The third life is checked from a fresh count: three more passes.
    EXPECT_GE(runs[3].ms - runs[2].ms, 2200);
}

TEST_F(Liveness, HeartbeatKeepsAProgramAliveAndUnwatchedFilesAreLeftAlone)
{
    config_watched({"eng"}, {"aux"});
    sandbox_program(&sb, "eng", {"beat 200"});
    sandbox_program(&sb, "aux", {"run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    write_file(sb.uci + "/aux.alive", "");
    sandbox_start(&sb);

    // Every pass deletes the file once; six passes are 720 s of watchd's time.
    ASSERT_TRUE(wait_until([&] { return count_of(read_file(sb.bin + "/gone.eng"), "x") >= 6; },
                           20));
    EXPECT_EQ(starts(&sb, "eng").size(), 1u);
    EXPECT_EQ(starts(&sb, "aux"), (strings{"aux"}));
    EXPECT_TRUE(file_exists(sb.uci + "/aux.alive"));
    EXPECT_EQ(events(run_file(&sb)), strings{});
}

TEST_F(Liveness, NoMonitorWithoutAWatchedProgramAmongTheFirstFour)
{
    config_watched({}, {"p1", "p2", "p3", "p4"});
    // A fifth program is never read, so its "excheck" starts nothing.
    std::string five = read_file(sb.bin + "/config");
    five.insert(five.rfind(']'), R"(,{"base":"p5","excheck":true})");
    config(five);
    for (const char *p : {"p1", "p2", "p3", "p4"})
        sandbox_program(&sb, p, {"run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    write_file(sb.uci + "/p1.alive", "");
    sandbox_start(&sb);

    ASSERT_TRUE(started("p4", 1));
    // Four passes' worth of watchd's time.
    usleep(5000 * 1000);
    EXPECT_EQ(watchd_threads(&sb), sandbox_base_threads());
    EXPECT_TRUE(file_exists(sb.uci + "/p1.alive"));
    for (const char *p : {"p1", "p2", "p3", "p4"})
        EXPECT_EQ(starts(&sb, p), (strings{p})) << p;
}

TEST_F(Liveness, TwoWatchedProgramsKeepTheirOwnCounts)
{
    config_watched({"a", "b"});
    sandbox_program(&sb, "a", {"run", "run", "run"});
    // One heartbeat at its start: b is found at the first pass, missed from the second.
    sandbox_program(&sb, "b", {"touch", "run", "run"});
    sandbox_start(&sb);

    ASSERT_TRUE(started("b", 3, 30));
    strings events_now = events(run_file(&sb));
    events_now.resize(8);
    EXPECT_EQ(events_now,
              (strings{"a is not alive, and we will kill it.", "a killed by signal(9)",
                       "b is not alive, and we will kill it.", "b killed by signal(9)",
                       "a is not alive, and we will kill it.", "a killed by signal(9)",
                       "b is not alive, and we will kill it.", "b killed by signal(9)"}));
    EXPECT_EQ(starts(&sb, "a")[1], "a -r 199" + alive_arg("a"));
    EXPECT_EQ(starts(&sb, "b")[1], "b -r 199" + alive_arg("b"));
    // a falls at the third pass, b one pass later: killing a left b's count alone.
    long long apart = start_lines(&sb, "b")[1].ms - start_lines(&sb, "a")[1].ms;
    EXPECT_GE(apart, 800);
    EXPECT_LT(apart, 1800);
}

TEST_F(Liveness, MissesSurviveARestartOfTheProgram)
{
    config_watched({"eng"});
    // At 50 times the speed passes come at 2.4, 4.8 and 7.2 s: the first life
    // misses two and ends at 6 s, its successor falls at the very next pass.
    sandbox_program(&sb, "eng", {"exit 1 after 6000", "run", "run"});
    sandbox_start(&sb, {.speed = 50});

    ASSERT_TRUE(started("eng", 3, 30));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng" + alive_arg("eng"), "eng -r 1" + alive_arg("eng"),
                                           "eng -r 199" + alive_arg("eng")}));
    std::vector<start_line> runs = start_lines(&sb, "eng");
    EXPECT_LT(runs[2].ms - runs[1].ms, 2000) << "killed at the first pass after its restart";
    EXPECT_EQ(events(run_file(&sb)),
              (strings{"eng exited normally with code(1)", "eng is not alive, and we will kill it.",
                       "eng killed by signal(9)"}));
}
