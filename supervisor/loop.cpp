// Supervision loop: kills and starts every program at the top of each cycle,
// reaps exits, logs them, restarts after the fixed delay or the crash
// back-off, and follows the exit-code protocol of the programs.
#include "supervisor/supervisor.h"

#include "runfile/runfile.h"
#include "upgrade/upgrade.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

void sleep_secs(unsigned secs)
{
#ifdef WATCHD_TEST_SPEEDUP
    const char *text = getenv("WATCHD_TEST_SPEEDUP");
    unsigned long speedup = text != nullptr ? strtoul(text, nullptr, 10) : 0;
    if (speedup > 1) {
        unsigned long long ns = secs * 1000000000ULL / speedup;
        struct timespec left = {static_cast<time_t>(ns / 1000000000ULL),
                                static_cast<long>(ns % 1000000000ULL)};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return;
    }
#endif
    sleep(secs);
}

int segv_restart_delay(watch_state *state)
{
    uint32_t n = ++state->segv_restarts;
    if (n <= 3)
        return static_cast<int>(n * 600 - 540);
    return 7200;
}

void log_exit(int32_t code, int32_t exited, const char *base, int log_fd)
{
    char stamp[64] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr && asctime_r(&local, stamp) != nullptr) {
        size_t len = strlen(stamp);
        if (len > 0)
            stamp[len - 1] = '\0';  // asctime's newline
    } else {
        stamp[0] = '\0';
    }

    char line[EVENT_BUF];
    if (exited == 1)
        format_text(line, sizeof line, "%s: %s exited normally with code(%d)\n", stamp, base, code);
    else
        format_text(line, sizeof line, "%s: %s killed by signal(%d)\n", stamp, base, code);
    log_event(log_fd, line, static_cast<int32_t>(strlen(line)));
}

int find_exited_proc(pid_t pid, int status, const watch_state *state, int32_t *code,
                     int32_t *exited)
{
    int index = 0;
    for (; index < state->count && index < MAX_PROCS; index++) {
        if (state->procs[index].pid.load(std::memory_order_relaxed) == pid)
            break;
    }
    if (index >= state->count || index >= MAX_PROCS) {
        printf("No such pid(%d) for reexec\n", static_cast<int>(pid));
        return state->count;
    }
    *exited = 0;
    if (WIFEXITED(status)) {
        *code = WEXITSTATUS(status);
        *exited = 1;
    } else if (WIFSIGNALED(status)) {
        *code = WTERMSIG(status);
    }
    return index;
}

void kill_all(watch_state *state)
{
    for (int i = 0; i < state->count && i < MAX_PROCS; i++) {
        proc_entry *entry = &state->procs[i];
        int32_t child = entry->pid.exchange(0, std::memory_order_relaxed);
        // Our own child, not yet reaped, so its pid cannot belong to anyone
        // else: kill it directly too, since a killall that matches only the
        // last part of a name (BusyBox) misses a program named with a path.
        if (child > 0)
            kill(child, SIGKILL);
        char command[KILL_CMD_BUF];
        if (make_kill_command(command, sizeof command, entry->base) == 0)
            system(command);
    }
}

int reap_children(watch_state *state, int32_t *last_code)
{
    for (;;) {
        int32_t code = 0;
        int32_t exited = 0;
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            puts("failed to waitpid");
            return -1;
        }
        int index = find_exited_proc(pid, status, state, &code, &exited);
        if (index >= state->count)
            continue;
        proc_entry *entry = &state->procs[index];

        log_exit(code, exited, entry->base, state->log_fd);
        // Only the child the monitor meant to kill: its mark is that child's pid.
        if (code == 9 && entry->killed.load(std::memory_order_relaxed) == pid)
            code = CODE_WATCHDOG_KILLED;
        entry->killed.store(0, std::memory_order_relaxed);
        entry->pid.store(0, std::memory_order_relaxed);

        if (exited == 1) {
            *last_code = code;
            if (code == EXIT_EXEC_FAILED)
                return -1;
            if (code == EXIT_INSTALL_PLUGIN || code == EXIT_INSTALL_LUA ||
                code == EXIT_INSTALL_OTHER) {
                install_upgrade(code);
                return 0;
            }
            if (code == EXIT_RESTART_ALL)
                return 0;
        }

        if (exited == 0 && code == SIGSEGV) {
            int delay = segv_restart_delay(state);
            printf("Will restart segv prog after %d secs\n", delay);
            sleep_secs(static_cast<unsigned>(delay));
        } else {
            printf("Will restart normal prog after %d secs\n", RESTART_DELAY_SECS);
            sleep_secs(RESTART_DELAY_SECS);
        }

        if (start_proc(state, index, code) < 0)
            return -1;
    }
}

int supervise(watch_state *state)
{
    int32_t last_code = 0;
    for (;;) {
        kill_all(state);
        state->upgraded = static_cast<uint32_t>(bootchk_upgraded());
        for (int i = 0; i < state->count && i < MAX_PROCS; i++) {
            if (start_proc(state, i, last_code) < 0)
                return -1;
        }
        if (reap_children(state, &last_code) >= 0)
            continue;
        if (clear_bootchk() != 1) {
            puts("failed for normal boot, exit");
            return -1;
        }
        puts("failed boot, then clean bootchk, and try again");
    }
}
