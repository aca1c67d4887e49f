// Liveness monitor: a background thread that demands a heartbeat file from
// every watched program and kills the programs that stop refreshing it.
#pragma once

#include <cstdint>

struct watch_state;

// Seconds between passes, slept before the first one too.
constexpr unsigned ALIVE_CHECK_SECS = 120;
// A program is killed when its consecutive misses exceed this.
constexpr uint32_t ALIVE_MISS_LIMIT = 2;

// Starts the detached monitor thread when one of the first four programs is
// watched. Writes an event line when the thread cannot be created.
void start_liveness_monitor(watch_state *state);

// The monitor thread: sleeps and checks, forever. Its argument is the state.
void *check_alive(void *state);

// One pass over the watched programs that are running: deletes each alive
// file found, counts a miss for each one missing, and kills the program at
// the miss past the limit. Returns how many programs it killed.
int check_alive_pass(watch_state *state);
