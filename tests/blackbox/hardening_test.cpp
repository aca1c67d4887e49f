// Faults staged around the real watchd: power cuts during installs, a full
// data directory, failing forks, planted links, hostile names, signals from
// outside and long runs. Each test prints the figures it measured.
#include "fixture.h"

#include <cjson/cJSON.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

// A knob from the environment, for runs longer than the default.
static long knob(const char *name, long fallback)
{
    const char *value = getenv(name);
    return value != nullptr && atol(value) > 0 ? atol(value) : fallback;
}

static std::set<std::string> names_in(const std::string &dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
        names.insert(entry.path().filename().string());
    return names;
}

// How many members of the name the record holds, -1 when it is not a whole
// JSON object with a version string.
static int members_named(const std::string &text, const char *name)
{
    cJSON *tree = cJSON_ParseWithOpts(text.c_str(), nullptr, 1);
    if (tree == nullptr || !cJSON_IsObject(tree) ||
        !cJSON_IsString(cJSON_GetObjectItem(tree, "version"))) {
        cJSON_Delete(tree);
        return -1;
    }
    int n = 0;
    for (const cJSON *item = tree->child; item != nullptr; item = item->next)
        n += strcmp(item->string, name) == 0;
    cJSON_Delete(tree);
    return n;
}

static bool process_ended(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
}

static int zombie_children(const sandbox *sb)
{
    int n = 0;
    for (pid_t pid : watchd_children(sb))
        n += process_ended(pid);
    return n;
}

class Hardening : public Blackbox {};

TEST_F(Hardening, PowerCutDuringInstallsLeavesTheOldRecordOrTheNew)
{
    const long cuts = knob("WATCHD_POWER_CUTS", 200);
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"install 131"});
    std::mt19937 random(20261211);
    // Late enough for watchd to be in its installs, emulated or not.
    const int slow = sandbox_emulated() ? 8 : 1;
    std::uniform_int_distribution<int> delay_ms(2 * slow, 40 * slow);

    int last = 0;
    long torn = 0;
    long leftovers = 0;
    for (long cut = 0; cut < cuts; cut++) {
        SCOPED_TRACE("cut " + std::to_string(cut));
        sandbox_start(&sb, {.speed = 0});
        ASSERT_TRUE(wait_until([&] { return watchd_pid(&sb) > 0; }, 5));
        usleep(static_cast<useconds_t>(delay_ms(random)) * 1000);
        kill(watchd_pid(&sb), SIGKILL);
        sandbox_stop(&sb);

        std::set<std::string> files = names_in(sb.data);
        leftovers += files.count(".bootchk.tmp");
        files.erase(".bootchk.tmp");
        files.erase(".bootchk");
        files.erase("psec");
        EXPECT_EQ(files, std::set<std::string>{}) << "only the record, its one temporary and psec";
        if (!file_exists(sb.data + "/.bootchk"))
            continue;
        int now = members_named(record(), "luadata");
        torn += now < 0;
        ASSERT_GE(now, last) << "the record went back or was torn: " << record();
        last = now;
    }
    long installs = static_cast<long>(read_file(sb.bin + "/count.eng").size());
    printf("power cuts: %ld, installs asked for: %ld, installs recorded: %d, cuts that left the "
           "temporary file: %ld, torn records: %ld\n",
           cuts, installs, last, leftovers, torn);
    EXPECT_GT(last, cuts / 4) << "the cuts must fall among installs";
    EXPECT_EQ(console(&sb), "") << "no start of watchd tripped on what a cut left";
}

TEST_F(Hardening, FullDataDirectoryKeepsTheOldRecordAndSupervisionGoesOn)
{
    const std::string old_record = R"({"version":"1.2.3","luadata":1})";
    config_programs({"eng", "aux"});
    // Each request waits until aux has started and logged its start.
    sandbox_program(&sb, "eng", {"exit 131 after 300", "exit 132 after 300", "run"});
    sandbox_program(&sb, "aux", {"run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "' '" + sb.data + "'").c_str()), 0);
    write_file(sb.uci + "/vqupgrade.tgz", std::string(20000, 'l'));
    // 64 kB of data directory holding the record and a filler to the brim.
    sandbox_start(&sb, {.setup = "mount -t tmpfs -o size=64k tmpfs \"$ROOT/data\" || exit 99\n"
                                 "printf '%s' '" + old_record + "' > \"$ROOT/data/.bootchk\"\n"
                                 "cat /dev/zero > \"$ROOT/data/fill\" 2>/dev/null\n"});

    ASSERT_TRUE(started("eng", 3));
    ASSERT_TRUE(started("aux", 3));
    EXPECT_EQ(starts(&sb, "eng"), (strings{"eng", "eng -r 131", "eng -r 132"}));
    EXPECT_EQ(read_file(inside(&sb, sb.data + "/.bootchk")), old_record);
    EXPECT_FALSE(file_exists(inside(&sb, sb.data + "/.bootchk.tmp")));
    EXPECT_FALSE(file_exists(sb.uci + "/vqupgrade.tgz"));
    EXPECT_EQ(starts(&sb, "aux"), (strings{"aux", "aux -r 131", "aux -r 132"}));
    EXPECT_FALSE(file_exists(sb.root + "/exit")) << "watchd goes on";
}

struct fork_case {
    const char *name;
    const char *fail;         // fork calls to fail
    bool record;              // a boot-check record is present
    strings plan;
    strings starts;           // the program's start lines
    const char *console;
    int exit;                 // -1: watchd goes on
};

static void PrintTo(const fork_case &c, std::ostream *os) { *os << c.name; }

class ForkFailure : public Blackbox, public ::testing::WithParamInterface<fork_case> {};

TEST_P(ForkFailure, EndsOrFallsBackWithoutBusyLooping)
{
    const fork_case &c = GetParam();
    if (!sandbox_preload_works())
        GTEST_SKIP() << "the fork-failure shim is preloaded, which reaches no static or emulated watchd";
    config_programs({"eng"});
    sandbox_program(&sb, "eng", c.plan);
    if (c.record) {
        mkdir(sb.data.c_str(), 0755);
        write_file(sb.data + "/.bootchk", R"({"version":"1"})");
    }
    sandbox_start(&sb, {.fail_forks = c.fail});

    if (c.exit >= 0) {
        ASSERT_EQ(sandbox_wait_exit(&sb, 20), c.exit);
    } else {
        ASSERT_TRUE(started("eng", c.starts.size()));
        // Settled: blocked in waitpid, not spinning.
        usleep(300 * 1000);
        std::string before = read_file("/proc/" + std::to_string(watchd_pid(&sb)) + "/stat");
        usleep(500 * 1000);
        EXPECT_EQ(read_file("/proc/" + std::to_string(watchd_pid(&sb)) + "/stat"), before);
    }
    EXPECT_EQ(starts(&sb, "eng"), c.starts);
    EXPECT_EQ(console(&sb), c.console);
    EXPECT_EQ(file_exists(sb.data + "/.bootchk"), c.record && c.exit >= 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForkFailure,
    ::testing::Values(
        fork_case{"at_start", "1", false, {"run"}, {}, "failed to fork\n", 0},
        fork_case{"at_start_record_kept", "1", true, {"run"}, {}, "failed to fork\n", 0},
        fork_case{"at_restart", "2", false, {"exit 0"}, {"eng"},
                  "Will restart normal prog after 10 secs\nfailed to fork\n"
                  "failed for normal boot, exit\n",
                  0},
        fork_case{"at_restart_with_record", "2", true, {"exit 3", "run"}, {"eng", "eng -r 3"},
                  "Will restart normal prog after 10 secs\nfailed to fork\n"
                  "failed boot, then clean bootchk, and try again\n",
                  -1}),
    [](const ::testing::TestParamInfo<fork_case> &info) { return info.param.name; });

TEST_F(Hardening, LinkPlantedAtTheRunFileIsNotFollowed)
{
    config_programs({"eng"});
    sandbox_program(&sb, "eng", {"run"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    write_file(sb.root + "/tmp/victim", "precious");
    ASSERT_EQ(symlink("/tmp/victim", (sb.uci + "/watchd.run").c_str()), 0);
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_EQ(console(&sb), "failed to open /tmp/.uci/watchd.run\n"
                            "process(" + sb.bin + "/watchd) already run\n");
    EXPECT_EQ(read_file(sb.root + "/tmp/victim"), "precious");
    EXPECT_TRUE(starts(&sb, "eng").empty());
}

TEST_F(Hardening, HostileNamesAreKilledByExactlyTheirName)
{
    // Each name is one word for the shell, whatever it holds; the restart of
    // all programs kills the others by these names.
    const strings names = {"a b;touch pwned", "q'uo\"te$(touch pwned)", "new\nline"};
    config(R"j({"__watch":{"processes":[{"base":"a b;touch pwned"},)j"
           R"j({"base":"q'uo\"te$(touch pwned)"},{"base":"new\nline"}]}})j");
    sandbox_program(&sb, names[0], {"run", "run"});
    sandbox_program(&sb, names[1], {"run", "run"});
    // It asks only once the others have started and logged their start.
    sandbox_program(&sb, names[2], {"exit 160 after 300", "run"});
    sandbox_start(&sb);

    for (const std::string &name : names)
        ASSERT_TRUE(started(name, 2)) << name;
    ASSERT_TRUE(wait_until([&] { return count_of(console(&sb), "for reexec\n") >= 2; }, 5))
        << console(&sb);
    EXPECT_EQ(starts(&sb, names[0])[1], names[0] + " -r 160");
    EXPECT_EQ(starts(&sb, names[1])[1], names[1] + " -r 160");
    EXPECT_FALSE(file_exists(sb.bin + "/pwned"));
    EXPECT_EQ(events(run_file(&sb)), (strings{"new", "line exited normally with code(160)"}));
}

TEST_F(Hardening, FiveThousandCharacterNameEndsCleanly)
{
    std::string name;
    for (int i = 0; i < 20; i++)
        name += std::string(249, 'a' + i % 26) + "/";
    config(R"({"__watch":{"processes":[{"base":")" + name + R"(x"}]}})");
    sandbox_start(&sb);

    ASSERT_EQ(sandbox_wait_exit(&sb, 20), 0);
    EXPECT_EQ(lines_of(console(&sb)).back(), "failed for normal boot, exit");
    EXPECT_EQ(count_of(console(&sb), "failed to exec"), 1);
}

struct outside_signal {
    const char *name;
    int signal;
};

static void PrintTo(const outside_signal &c, std::ostream *os) { *os << c.name; }

class OutsideSignal : public Blackbox, public ::testing::WithParamInterface<outside_signal> {};

TEST_P(OutsideSignal, EndsEverySupervisedProgram)
{
    config_programs({"a", "b"});
    sandbox_program(&sb, "a", {"run"});
    sandbox_program(&sb, "b", {"run"});
    sandbox_start(&sb, {.linger = true});
    ASSERT_TRUE(started("a", 1));
    ASSERT_TRUE(started("b", 1));
    ASSERT_TRUE(wait_until([&] { return watchd_children(&sb).size() == 2; }, 5));
    std::vector<pid_t> programs = watchd_children(&sb);

    kill(watchd_pid(&sb), GetParam().signal);

    for (pid_t pid : programs)
        EXPECT_TRUE(wait_until([&] { return process_ended(pid); }, 5)) << "pid " << pid;
}

INSTANTIATE_TEST_SUITE_P(Cases, OutsideSignal,
                         ::testing::Values(outside_signal{"SIGTERM", SIGTERM},
                                           outside_signal{"SIGKILL", SIGKILL}),
                         [](const ::testing::TestParamInfo<outside_signal> &info) {
                             return info.param.name;
                         });

TEST_F(Hardening, LongRunKeepsDescriptorsZombiesAndMemoryFlat)
{
    const long restarts = knob("WATCHD_LONG_RUN_RESTARTS", 10000);
    const long warm_up = 200;
    config(R"({"__watch":{"processes":[{"base":"eng","excheck":true}]}})");
    sandbox_program(&sb, "eng", {"cycle " + std::to_string(restarts)});
    sandbox_start(&sb, {.speed = 0});
    auto count = [&] { return static_cast<long>(read_file(sb.bin + "/count.eng").size()); };

    ASSERT_TRUE(wait_until([&] { return count() >= warm_up; }, 60));
    pid_t watchd = watchd_pid(&sb);
    // Between the descriptors a cycle opens for a moment (the record): the
    // fewest seen over a few looks.
    auto settled_fds = [&] {
        std::string fewest = watchd_fds(&sb);
        for (int i = 0; i < 50; i++) {
            std::string now = watchd_fds(&sb);
            if (now.size() < fewest.size())
                fewest = now;
            usleep(1000);
        }
        return fewest;
    };
    std::string fds_before = settled_fds();
    long rss_before = proc_status(watchd, "VmRSS");

    ASSERT_TRUE(wait_until([&] { return count() >= restarts; }, 1200)) << count() << " starts";
    // The last instance keeps running; let the last strangers be reaped.
    ASSERT_TRUE(wait_until([&] { return watchd_children(&sb).size() == 1; }, 10));
    std::string fds_after = settled_fds();
    long rss_after = proc_status(watchd, "VmRSS");
    printf("long run: %ld restarts, descriptors %s -> %s, resident set %ld kB -> %ld kB, "
           "zombie children %d\n",
           count(), fds_before.c_str(), fds_after.c_str(), rss_before, rss_after,
           zombie_children(&sb));

    EXPECT_EQ(watchd_pid(&sb), watchd) << "the same watchd all along";
    EXPECT_EQ(fds_after, fds_before);
    EXPECT_EQ(zombie_children(&sb), 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's own shadow and history memory grows with the work done.
    printf("long run: resident set not judged under a sanitizer\n");
#else
    EXPECT_LE(rss_after, rss_before + 64) << "kB";
#endif
    EXPECT_EQ(count_of(console(&sb), "No such pid"), 0);
}

TEST_F(Hardening, ValgrindFindsNoLeakAndNoInvalidAccess)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (system("valgrind --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "valgrind is not installed";
    if (getenv("WATCHD_TEST_BIN") != nullptr)
        GTEST_SKIP() << "valgrind runs the native build only";
    // Every path of the loop but the delays: restart of all, an install, the
    // fall-back that removes the record, and the end of supervision; with the
    // heartbeat thread running. Its thread lives to the end, so its stack is
    // only "possibly lost" and not counted.
    config(R"({"__watch":{"processes":[{"base":"eng","excheck":true}]}})");
    sandbox_program(&sb, "eng", {"exit 160", "exit 131", "exit 129", "exit 129"});
    ASSERT_EQ(system(("mkdir -p '" + sb.uci + "'").c_str()), 0);
    write_file(sb.uci + "/vqupgrade.tgz", "lua");
    sandbox_start(&sb, {.speed = 0,
                        .wrapper = {"valgrind", "--quiet", "--error-exitcode=99",
                                    "--leak-check=full", "--show-leak-kinds=definite,indirect",
                                    "--errors-for-leak-kinds=definite,indirect",
                                    "--log-file=" + sb.root + "/valgrind.log"}});

    int status = sandbox_wait_exit(&sb, 60);
    std::string log = read_file(sb.root + "/valgrind.log");
    printf("valgrind: exit %d, %zu bytes of report\n", status, log.size());
    EXPECT_EQ(status, 0) << log;
    EXPECT_EQ(log, "");
    EXPECT_EQ(starts(&sb, "eng").size(), 4u);
    EXPECT_EQ(lines_of(console(&sb)).back(), "failed for normal boot, exit");
}
