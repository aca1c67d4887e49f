// Bounded text formatting and shell quoting, so that no text is cut by
// accident and no configured name is ever run as shell code.
#include "supervisor/supervisor.h"

#include <cstdarg>
#include <cstdio>

int format_text(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0) {
        if (size > 0)
            buf[0] = '\0';
        return -1;
    }
    return static_cast<size_t>(n) < size ? 0 : -1;
}

int shell_quote(char *buf, size_t size, const char *text)
{
    size_t at = 0;
    auto put = [&](const char *s) {
        for (; *s; s++) {
            if (at + 1 >= size)
                return false;
            buf[at++] = *s;
        }
        return true;
    };
    bool ok = size > 0 && put("'");
    for (const char *p = text; ok && *p; p++) {
        char one[2] = {*p, '\0'};
        ok = put(*p == '\'' ? "'\\''" : one);
    }
    ok = ok && put("'");
    if (!ok) {
        if (size > 0)
            buf[0] = '\0';
        return -1;
    }
    buf[at] = '\0';
    return 0;
}

int make_kill_command(char *buf, size_t size, const char *base)
{
    char quoted[KILL_CMD_BUF];
    if (shell_quote(quoted, sizeof quoted, base) != 0)
        return -1;
    return format_text(buf, size, "killall -9 %s >/dev/null 2>&1", quoted);
}
