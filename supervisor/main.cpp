// Entry point: turns the started process into the supervisor and hands it to
// the supervision loop for the rest of its life.
#include "config/config.h"
#include "liveness/liveness.h"
#include "runfile/runfile.h"
#include "supervisor/supervisor.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <libgen.h>

int main(int argc, char **argv)
{
    // Under a log daemon stdout is a pipe: line-buffer it so no message waits
    // in our buffer while we sleep or block in waitpid.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    open_std_fds();
    close_fds_from(3);

    static watch_state state = {};
    const char *program_path = argc > 0 ? argv[0] : nullptr;

    char name_copy[PATH_BUF] = {};
    if (program_path != nullptr)
        format_text(name_copy, sizeof name_copy, "%s", program_path);
    format_text(state.run_path, sizeof state.run_path, "%s%s.run", TMP_DIR,
                basename(program_path != nullptr ? name_copy : nullptr));

    chdir_to_program_dir(program_path);
    if (argc > 1)
        state.debug = 1;

    if (ensure_dir(TMP_DIR) != 0)
        exit(0);
    if (ensure_dir(DATA_DIR) != 0)
        exit(0);
    if (load_watch_config(CONFIG_FILE, &state) != 0) {
        puts("failed to init daemon");
        exit(0);
    }
    if (claim_run_file(program_path, &state) != 0)
        exit(0);

    signal(SIGCHLD, SIG_DFL);
    start_liveness_monitor(&state);
    supervise(&state);
    return 0;
}
