// One pass of the liveness monitor over real files and a real process.
#include "liveness/liveness.h"
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>

class AlivePass : public scratch_test {
protected:
    watch_state *state = nullptr;
    int log_fd = -1;

    void SetUp() override
    {
        scratch_test::SetUp();
        state = new watch_state();
        log_fd = open("events", O_WRONLY | O_CREAT | O_APPEND, 0644);
        state->log_fd = log_fd;
    }
    void TearDown() override
    {
        close(log_fd);
        delete state;
        scratch_test::TearDown();
    }
    // A watched slot whose alive file lies in the scratch directory.
    proc_entry *watch(int index, const std::string &base, int32_t pid)
    {
        proc_entry *entry = &state->procs[index];
        format_text(entry->base, sizeof entry->base, "%s", base.c_str());
        format_text(entry->alive_path, sizeof entry->alive_path, "%s/bin/%s.alive", dir.c_str(),
                    base.c_str());
        entry->pid = pid;
        if (state->count <= index)
            state->count = index + 1;
        return entry;
    }
    std::string alive_file(const proc_entry *entry) { return entry->alive_path; }
};

TEST_F(AlivePass, CountsMissesAndDeletesWhatItFinds)
{
    struct miss_case {
        const char *name;
        uint32_t misses_before;
        bool file_there;
        uint32_t misses_after;
        bool killed;
    };
    const miss_case cases[] = {
        {"found resets nothing", 0, true, 0, false},
        {"found clears one miss", 1, true, 0, false},
        {"found clears two misses", 2, true, 0, false},
        {"first miss", 0, false, 1, false},
        {"second miss", 1, false, 2, false},
        {"third miss kills", 2, false, 0, true},
    };
    // No process has this name, so the kill command finds nothing to kill.
    std::string base = "wd-nobody-" + std::to_string(getpid() % 100000);
    for (const miss_case &c : cases) {
        SCOPED_TRACE(c.name);
        proc_entry *entry = watch(0, base, 4242);
        entry->misses = c.misses_before;
        entry->killed = 0;
        if (c.file_there)
            write_file(alive_file(entry), "any content");
        ftruncate(log_fd, 0);

        EXPECT_EQ(check_alive_pass(state), c.killed ? 1 : 0);
        EXPECT_EQ(entry->misses.load(), c.misses_after);
        EXPECT_FALSE(file_exists(alive_file(entry))) << "the file is deleted, never created";
        EXPECT_EQ(entry->killed.load(), c.killed ? 4242 : 0) << "marked with the child's pid";
        EXPECT_EQ(read_file("events"),
                  c.killed ? base + " is not alive, and we will kill it.\n" : "");
    }
}

TEST_F(AlivePass, LooksOnlyAtRunningWatchedProgramsAmongTheFirstFour)
{
    proc_entry *idle = watch(0, "wd-idle", 0);
    proc_entry *failed = watch(1, "wd-failed", -1);
    proc_entry *unwatched = watch(2, "wd-plain", 77);
    unwatched->alive_path[0] = '\0';
    write_file("wd-plain.alive", "");
    proc_entry *running = watch(3, "wd-running", 78);
    for (proc_entry *entry : {idle, failed, running})
        entry->misses = 2;
    write_file(alive_file(idle), "");
    // A count past the table must not reach beyond the fourth slot.
    state->count = 9;

    EXPECT_EQ(check_alive_pass(state), 1);
    EXPECT_EQ(idle->misses.load(), 2u) << "a slot waiting for its restart keeps its count";
    EXPECT_TRUE(file_exists(alive_file(idle)));
    EXPECT_EQ(failed->misses.load(), 2u);
    EXPECT_EQ(unwatched->misses.load(), 0u);
    EXPECT_TRUE(file_exists("wd-plain.alive")) << "an unwatched program's file is never touched";
    EXPECT_EQ(running->killed.load(), 78);
    EXPECT_EQ(read_file("events"), "wd-running is not alive, and we will kill it.\n");
}

TEST_F(AlivePass, KillsTheProgramByNameWithSignalNine)
{
    // A real process under a name of its own, short enough for any killall.
    std::string base = "wdlive" + std::to_string(getpid() % 100000);
    ASSERT_EQ(system(("cp /bin/sleep '" + base + "'").c_str()), 0);
    pid_t child = fork();
    if (child == 0) {
        execl(base.c_str(), base.c_str(), "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    proc_entry *entry = watch(0, base, child);
    // Wait until the child runs under its own name before it is killed by it.
    std::string comm = "/proc/" + std::to_string(child) + "/comm";
    for (int i = 0; i < 500 && read_file(comm) != base + "\n"; i++)
        usleep(10000);

    for (int pass = 1; pass <= 3; pass++)
        check_alive_pass(state);

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    EXPECT_EQ(entry->killed.load(), child);
    EXPECT_EQ(entry->misses.load(), 0u);
}

TEST_F(AlivePass, KillsItsOwnChildWhenNoNameMatches)
{
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    proc_entry *entry = watch(0, "wd-unit/no-such-name", child);
    entry->misses = 2;

    EXPECT_EQ(check_alive_pass(state), 1);

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}
