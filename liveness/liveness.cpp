// Liveness monitor. Every ALIVE_CHECK_SECS a pass deletes the alive file of
// each running watched program; a program whose file stays missing for more
// than ALIVE_MISS_LIMIT passes in a row is killed by name, and the supervision
// loop restarts it with the watchdog's restart code.
#include "liveness/liveness.h"

#include "runfile/runfile.h"
#include "supervisor/supervisor.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static int watched_slots(const watch_state *state)
{
    return state->count < MAX_PROCS ? state->count : MAX_PROCS;
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
        sleep(ALIVE_CHECK_SECS);
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
