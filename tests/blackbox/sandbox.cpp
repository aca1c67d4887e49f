// Runs watchd in a namespace of its own so that /tmp/.uci, killall and run
// files never reach the machine or another test.
#include "sandbox.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

static const char *FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line))
        lines.push_back(line);
    return lines;
}

int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

static std::string env_or(const char *name, const std::string &fallback)
{
    const char *value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

static std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    std::stringstream s(env_or("WATCHD_TEST_WRAPPER", ""));
    for (std::string w; s >> w;)
        words.push_back(w);
    return words;
}

bool sandbox_preload_works()
{
    return env_or("WATCHD_TEST_TIME", "faketime") == "faketime" && wrapper_words().empty();
}

bool sandbox_emulated() { return !wrapper_words().empty(); }

int sandbox_base_threads() { return sandbox_emulated() ? 2 : 1; }

void sandbox_init(sandbox *sb, const std::string &test_name)
{
    sb->root = std::string(SANDBOX_ROOT) + "/" + test_name;
    sb->bin = sb->root + "/bin";
    sb->data = sb->root + "/data";
    sb->uci = sb->root + "/tmp/.uci";
    std::filesystem::remove_all(sb->root);
    std::filesystem::create_directories(sb->bin);
    std::filesystem::create_directories(sb->root + "/tmp");
    std::filesystem::copy_file(env_or("WATCHD_TEST_BIN", WATCHD_BIN), sb->bin + "/" + sb->name);
}

void sandbox_program(sandbox *sb, const std::string &path, const std::vector<std::string> &plan)
{
    std::filesystem::path target = sb->bin + "/" + path;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(FAKEPROG_BIN, target,
                               std::filesystem::copy_options::overwrite_existing);
    std::string name = path.substr(path.rfind('/') + 1);
    std::string text;
    for (const std::string &line : plan)
        text += line + "\n";
    write_file(sb->bin + "/plan." + name, text);
}

void sandbox_start(sandbox *sb, const start_options &opts)
{
    // Inside: a private /tmp, then watchd as a child of the namespace's init
    // shell, whose end takes every process of the namespace with it.
    std::string script =
        "mount --bind \"$1/tmp\" /tmp || exit 99\n"
        "cd \"$2\" || exit 99\n"
        "shift 2\n";
    if (env_or("WATCHD_TEST_BUSYBOX", "0") == "1") {
        // As on a router: the shell, killall and tar that watchd runs are BusyBox.
        script += "bb=$(command -v busybox) || exit 98\n"
                  "for tool in sh killall tar; do\n"
                  "  mount --bind \"$bb\" \"$(readlink -f \"$(command -v $tool)\")\" || exit 98\n"
                  "done\n";
    }
    script += opts.setup + "\n";
    if (opts.close_stdin)
        script += "exec 0<&-\n";
    if (opts.second_instance) {
        // Once the first holds its run file, a second one under the same name.
        script += "\"$@\" &\n"
                  "i=0; while [ ! -s \"/tmp/.uci/$NAME.run\" ] && [ $i -lt 1000 ]; do\n"
                  "  sleep 0.01; i=$((i+1)); done\n"
                  "\"$@\" > \"$ROOT/out2\"; echo $? > \"$ROOT/exit2\"\n"
                  "wait\n";
    } else {
        script += "\"$@\"\n";
    }
    script += "echo $? > \"$ROOT/exit\"\n";
    if (opts.linger)
        script += "sleep 60\n";

    std::vector<std::string> argv = {"unshare", "--mount", "--pid", "--fork", "--mount-proc",
                                     "sh", "-c", script, "sh", sb->root, opts.cwd, "env"};
    std::string preload;
    std::string time_mode = env_or("WATCHD_TEST_TIME", "faketime");
    if (opts.speed > 0 && time_mode == "faketime") {
        // Only watchd runs on fast time: the programs it starts see the real clock.
        preload = FAKETIME_LIB;
        argv.insert(argv.end(), {"FAKETIME=+0 x" + std::to_string(opts.speed),
                                 "FAKETIME_ONLY_CMDS=" + sb->name});
    } else if (opts.speed > 0 && time_mode == "speedup") {
        argv.push_back("WATCHD_TEST_SPEEDUP=" + std::to_string(opts.speed));
    }
    if (!opts.fail_forks.empty()) {
        preload += (preload.empty() ? "" : ":") + std::string(FAILFORK_LIB);
        argv.insert(argv.end(), {"FAILFORK_AT=" + opts.fail_forks, "FAILFORK_ONLY=" + sb->name});
    }
    if (!preload.empty())
        argv.push_back("LD_PRELOAD=" + preload);
    argv.insert(argv.end(), opts.wrapper.begin(), opts.wrapper.end());
    for (const std::string &word : wrapper_words())
        argv.push_back(word);
    argv.push_back(sb->bin + "/" + sb->name);
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());

    pid_t pid = fork();
    if (pid == 0) {
        setenv("ROOT", sb->root.c_str(), 1);
        setenv("NAME", sb->name.c_str(), 1);
        int out = open((sb->root + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((sb->root + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        for (int fd = 3; fd < 64; fd++)
            close(fd);
        if (opts.leak_fd) {
            int leak = open((sb->root + "/leaked").c_str(), O_WRONLY | O_CREAT, 0644);
            dup2(leak, 7);
            if (leak != 7)
                close(leak);
        }
        std::vector<char *> raw;
        for (std::string &a : argv)
            raw.push_back(&a[0]);
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    sb->runner = pid;
}

static std::string fd_list(const std::string &dir)
{
    std::vector<int> fds;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        fds.push_back(atoi(entry.path().filename().c_str()));
    std::sort(fds.begin(), fds.end());
    std::string list;
    for (int fd : fds)
        list += (list.empty() ? "" : ",") + std::to_string(fd);
    return list;
}

static pid_t first_child(pid_t parent)
{
    std::string path = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                       "/children";
    return static_cast<pid_t>(atoi(read_file(path).c_str()));
}

std::string watchd_fds(const sandbox *sb)
{
    // The runner's child is the namespace's init shell, whose child is watchd.
    pid_t watchd = watchd_pid(sb);
    return watchd > 0 ? fd_list("/proc/" + std::to_string(watchd) + "/fd") : "?";
}

pid_t watchd_pid(const sandbox *sb)
{
    pid_t init = first_child(sb->runner);
    return init > 0 ? first_child(init) : 0;
}

std::vector<pid_t> watchd_children(const sandbox *sb)
{
    std::vector<pid_t> pids;
    pid_t watchd = watchd_pid(sb);
    if (watchd <= 0)
        return pids;
    std::stringstream list(read_file("/proc/" + std::to_string(watchd) + "/task/" +
                                     std::to_string(watchd) + "/children"));
    for (pid_t pid; list >> pid;)
        pids.push_back(pid);
    return pids;
}

std::string inside(const sandbox *sb, const std::string &path)
{
    return "/proc/" + std::to_string(first_child(sb->runner)) + "/root" + path;
}

long proc_status(pid_t pid, const std::string &field)
{
    for (const std::string &line : lines_of(read_file("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

int watchd_threads(const sandbox *sb)
{
    pid_t watchd = watchd_pid(sb);
    return watchd > 0 ? static_cast<int>(proc_status(watchd, "Threads")) : -1;
}

std::string sanitizer_reports(const sandbox *sb)
{
    std::string reports;
    for (const std::string &line : lines_of(read_file(sb->root + "/err"))) {
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("runtime error:") != std::string::npos)
            reports += line + "\n";
    }
    return reports;
}

void sandbox_stop(sandbox *sb)
{
    if (sb->runner <= 0)
        return;
    pid_t init = first_child(sb->runner);
    if (init > 0)
        kill(init, SIGKILL);
    int status;
    bool done = wait_until([&] { return waitpid(sb->runner, &status, WNOHANG) != 0; }, 10);
    if (!done) {
        kill(sb->runner, SIGKILL);
        waitpid(sb->runner, &status, 0);
    }
    sb->runner = -1;
}

int sandbox_wait_exit(sandbox *sb, double seconds)
{
    std::string path = sb->root + "/exit";
    if (!wait_until([&] { return !read_file(path).empty(); }, seconds))
        return -1;
    return atoi(read_file(path).c_str());
}

std::vector<start_line> start_lines(const sandbox *sb, const std::string &prog)
{
    std::vector<start_line> parsed;
    for (const std::string &line : lines_of(read_file(sb->bin + "/starts." + prog))) {
        size_t fds = line.find(" | fds=");
        size_t ms = line.find(" | ms=");
        if (fds == std::string::npos || ms == std::string::npos) {
            parsed.push_back({line, "", -1});
            continue;
        }
        parsed.push_back({line.substr(0, fds), line.substr(fds + 7, ms - fds - 7),
                          atoll(line.c_str() + ms + 6)});
    }
    return parsed;
}

std::vector<std::string> starts(const sandbox *sb, const std::string &prog)
{
    std::vector<std::string> args;
    for (const start_line &s : start_lines(sb, prog))
        args.push_back(s.args);
    return args;
}

std::string console(const sandbox *sb) { return read_file(sb->root + "/out"); }

std::string run_file(const sandbox *sb) { return read_file(sb->uci + "/" + sb->name + ".run"); }

bool wait_until(const std::function<bool()> &ready, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
