// The pure pieces of the supervision loop: the back-off, decoding a reaped
// child, and the event line.
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <sys/wait.h>

TEST(SegvRestartDelay, GrowsThenStaysAtTwoHours)
{
    watch_state *state = new watch_state{};
    std::vector<int> delays;
    for (int i = 0; i < 6; i++)
        delays.push_back(segv_restart_delay(state));
    EXPECT_EQ(delays, (std::vector<int>{60, 660, 1260, 7200, 7200, 7200}));
    EXPECT_EQ(state->segv_restarts, 6u);
    delete state;
}

TEST(FindExitedProc, DecodesTheStatusOfItsSlot)
{
    watch_state *state = new watch_state{};
    state->count = 2;
    state->procs[0].pid = 100;
    state->procs[1].pid = 200;
    state->procs[2].pid = 300;  // beyond count: never matched

    struct status_case {
        const char *name;
        pid_t pid;
        int status;
        int want_index;
        int32_t want_code;
        int32_t want_exited;
    };
    const status_case cases[] = {
        {"exit 0", 100, W_EXITCODE(0, 0), 0, 0, 1},
        {"exit 130", 200, W_EXITCODE(130, 0), 1, 130, 1},
        {"exit 255", 200, W_EXITCODE(255, 0), 1, 255, 1},
        {"segv", 100, W_EXITCODE(0, 11), 0, 11, 0},
        {"kill", 200, W_EXITCODE(0, 9), 1, 9, 0},
        {"unknown pid", 999, W_EXITCODE(1, 0), 2, -7, -7},
        {"slot beyond count", 300, W_EXITCODE(1, 0), 2, -7, -7},
    };
    for (const status_case &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t code = -7;
        int32_t exited = -7;
        testing::internal::CaptureStdout();
        int index = find_exited_proc(c.pid, c.status, state, &code, &exited);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(index, c.want_index);
        EXPECT_EQ(code, c.want_code);
        EXPECT_EQ(exited, c.want_exited);
        EXPECT_EQ(out, c.want_index == state->count
                           ? "No such pid(" + std::to_string(c.pid) + ") for reexec\n"
                           : "");
    }
    delete state;
}

class EventLine : public scratch_test {};

TEST_F(EventLine, TimestampNameAndCodeInOneWholeLine)
{
    int fd = open("log", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GT(fd, 0);
    std::string long_name = std::string(300, 'n');
    log_exit(0, 1, "torvin-dpi-inner", fd);
    log_exit(11, 0, "torvin-dpi-inner", fd);
    log_exit(9, 2, long_name.c_str(), fd);  // any exited other than 1: killed form
    log_exit(3, 1, "eng", 0);               // descriptor 0 is no log
    close(fd);

    std::string stamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";
    std::regex want(stamp + ": torvin-dpi-inner exited normally with code\\(0\\)\n" + stamp +
                    ": torvin-dpi-inner killed by signal\\(11\\)\n" + stamp + ": " + long_name +
                    " killed by signal\\(9\\)\n");
    std::string log = read_file("log");
    EXPECT_TRUE(std::regex_match(log, want)) << log;
    EXPECT_EQ(log.find(':', 0), 13u);  // "Fri Dec 11 11:" : 24-character timestamp
    EXPECT_EQ(log.substr(24, 2), ": ");
}

// A child running under a name that no killall can match to its slot's base,
// as a BusyBox killall misses a base that holds a path.
static pid_t child_named_otherwise()
{
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    return child;
}

TEST(KillAll, KillsEachSlotsOwnChildEvenWhenTheNameMisses)
{
    auto state = std::make_unique<watch_state>();
    state->count = 2;
    format_text(state->procs[0].base, PATH_BUF, "wd-unit/missing-%d", getpid());
    format_text(state->procs[1].base, PATH_BUF, "wd-unit/idle-%d", getpid());
    pid_t child = child_named_otherwise();
    ASSERT_GT(child, 0);
    state->procs[0].pid = child;

    kill_all(state.get());

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(state->procs[0].pid.load(), 0);
    EXPECT_EQ(state->procs[1].pid.load(), 0);
}
