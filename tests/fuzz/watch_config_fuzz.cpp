// The watch configuration against any file: read or refused, never a crash,
// and an accepted table always in shape.
#include "config/config.h"
#include "fuzz_scratch.h"
#include "supervisor/supervisor.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enter_fuzz_scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    put_file("config", data, size);
    auto state = std::make_unique<watch_state>();
    int result = load_watch_config("config", state.get());
    if (result == -1)
        return 0;
    if (result != 0 || state->count < 1 || state->count > MAX_PROCS)
        abort();
    static const char prefix[] = "/tmp/.uci//";
    for (int i = 0; i < state->count; i++) {
        const proc_entry &entry = state->procs[i];
        if (strnlen(entry.base, PATH_BUF) == PATH_BUF ||
            strnlen(entry.alive_path, PATH_BUF) == PATH_BUF)
            abort();
        if (entry.alive_path[0] != '\0' &&
            strncmp(entry.alive_path, prefix, sizeof prefix - 1) != 0)
            abort();
    }
    return 0;
}
