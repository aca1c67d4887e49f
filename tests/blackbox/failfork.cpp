// Preloaded into watchd by the black-box tests to stage fork failures: the
// calls of fork listed in FAILFORK_AT ("2" or "1,3", counted from 1) fail
// with EAGAIN, in the process named FAILFORK_ONLY alone.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" pid_t fork(void)
{
    static int calls = 0;
    using fork_fn = pid_t (*)(void);
    static fork_fn real_fork = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));

    const char *only = getenv("FAILFORK_ONLY");
    const char *at = getenv("FAILFORK_AT");
    if (only != nullptr && at != nullptr && strcmp(only, program_invocation_short_name) == 0) {
        int call = ++calls;
        for (const char *p = at; *p != '\0';) {
            char *end = nullptr;
            long n = strtol(p, &end, 10);
            if (end == p)
                break;
            if (n == call) {
                errno = EAGAIN;
                return -1;
            }
            p = *end == ',' ? end + 1 : end;
        }
    }
    return real_fork();
}
