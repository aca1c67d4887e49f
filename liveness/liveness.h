// Liveness monitor: the background check of the programs' heartbeat files.
#pragma once

struct watch_state;

// Starts the monitor thread when a configured program asks for the heartbeat
// check.
void start_liveness_monitor(watch_state *state);
