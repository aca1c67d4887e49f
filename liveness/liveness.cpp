// Liveness monitor. Every ALIVE_CHECK_SECS a pass deletes the alive file of
// each running watched program; a program whose file stays missing for more
// than ALIVE_MISS_LIMIT passes in a row is killed by name, and the supervision
// loop restarts it with the watchdog's restart code.
#include "liveness/liveness.h"

#include "runfile/runfile.h"
#include "supervisor/supervisor.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

static int watched_slots(const watch_state *state)
{
    return state->count < MAX_PROCS ? state->count : MAX_PROCS;
}

// Sends SIGKILL to the child the pass saw, while the slot still names it. A
// pidfd pins the process, so the signal cannot reach a process that took over
// the pid after the loop reaped ours.
static void kill_child(const proc_entry *entry, int32_t pid)
{
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return;  // gone already, or a kernel before 5.3
    if (entry->pid.load(std::memory_order_relaxed) == pid)
        syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
    close(fd);
#else
    (void)entry;
    (void)pid;
#endif
}

// Kills the program of entry, whose running child the pass saw as pid.
static void kill_unresponsive(const watch_state *state, proc_entry *entry, int32_t pid)
{
    char text[KILL_CMD_BUF];
    format_text(text, sizeof text, "%s is not alive, and we will kill it.\n", entry->base);
    log_event(state->log_fd, text, static_cast<int32_t>(strlen(text)));

    entry->misses.store(0, std::memory_order_relaxed);
    // The loop may reap the killed child the moment the signal lands, so the
    // mark must be in place before the kill command runs. It names the child
    // we meant: should that child have ended by itself meanwhile, the mark
    // does not match the next instance, whose own death is then no watchdog
    // kill. A full-order store keeps it ahead of the fork inside system().
    entry->killed.store(pid, std::memory_order_seq_cst);

    if (make_kill_command(text, sizeof text, entry->base) == 0)
        system(text);
    // A killall that matches only the last part of a name (BusyBox) misses a
    // program named with a path: make sure of our own child.
    kill_child(entry, pid);
}

int check_alive_pass(watch_state *state)
{
    int kills = 0;
    for (int i = 0; i < watched_slots(state); i++) {
        proc_entry *entry = &state->procs[i];
        int32_t pid = entry->pid.load(std::memory_order_relaxed);
        if (pid <= 0 || entry->alive_path[0] == '\0')
            continue;
        if (access(entry->alive_path, F_OK) == 0) {
            unlink(entry->alive_path);
            entry->misses.store(0, std::memory_order_relaxed);
            continue;
        }
        uint32_t misses = entry->misses.load(std::memory_order_relaxed) + 1;
        entry->misses.store(misses, std::memory_order_relaxed);
        if (misses > ALIVE_MISS_LIMIT) {
            kill_unresponsive(state, entry, pid);
            kills++;
        }
    }
    return kills;
}

void *check_alive(void *state)
{
    for (;;) {
        sleep_secs(ALIVE_CHECK_SECS);
        check_alive_pass(static_cast<watch_state *>(state));
    }
    return nullptr;
}

void start_liveness_monitor(watch_state *state)
{
    bool any = false;
    for (int i = 0; i < watched_slots(state); i++)
        any = any || state->procs[i].alive_path[0] != '\0';
    if (!any)
        return;

    pthread_t thread;
    if (pthread_create(&thread, nullptr, check_alive, state) != 0) {
        static const char text[] = "create pthread check_alive failed\n";
        log_event(state->log_fd, text, static_cast<int32_t>(sizeof text - 1));
        return;
    }
    pthread_detach(thread);
}
