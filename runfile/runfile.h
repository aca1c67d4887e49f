// Run file: one file per program name that is both the single-instance lock
// and the event log.
#pragma once

#include <cstdint>

struct watch_state;

// Opens (creating it with mode 0644) and locks the file at path, marks it
// close-on-exec, empties it and writes len bytes of data at its start.
// Returns the descriptor, or -1 after a console message.
int open_run_file(const char *path, const char *data, int32_t len);

// Claims the run file at state->run_path, its first line the working directory,
// and stores the descriptor in log_fd. 0, or -1 after a console message.
int claim_run_file(const char *program_path, watch_state *state);

// Hands len bytes to the log in one write. 0, or -1 when fd is 0 or negative.
int log_event(int fd, const char *data, int32_t len);
