// Watch configuration: which programs to keep running and which of them must
// keep a heartbeat file, read once at start-up into the process table.
#include "config/config.h"

#include "supervisor/supervisor.h"

void set_default_watch(watch_state *state)
{
    state->count = 1;
    format_text(state->procs[0].base, sizeof state->procs[0].base, "%s", DEFAULT_PROC);
}

int load_watch_config(const char *path, watch_state *state)
{
    json_ptr root(load_json_file(path));
    if (!root)
        return -1;

    const cJSON *watch = cJSON_GetObjectItem(root.get(), "__watch");
    const cJSON *processes = watch != nullptr ? cJSON_GetObjectItem(watch, "processes") : nullptr;
    int n = processes != nullptr ? cJSON_GetArraySize(processes) : 0;
    if (n <= 0) {
        set_default_watch(state);
        return 0;
    }

    // Programs after the fourth are never read, so they cannot refuse the file.
    state->count = n < MAX_PROCS ? n : MAX_PROCS;
    for (int i = 0; i < state->count; i++) {
        const cJSON *element = cJSON_GetArrayItem(processes, i);
        const char *base = json_get_string(element, "base");
        if (base == nullptr)
            return -1;
        proc_entry *entry = &state->procs[i];
        format_text(entry->base, sizeof entry->base, "%s", base);
        entry->pid.store(0, std::memory_order_relaxed);
        if (json_is_true(element, "excheck") == 1)
            format_text(entry->alive_path, sizeof entry->alive_path, "%s/%s.alive", TMP_DIR,
                        base);
    }
    return 0;
}
