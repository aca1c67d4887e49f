// Measures watchd side by side with runit and s6 on the same machine in one
// run: memory, binary size, idle system calls, restart overhead, the cost of
// starting a child against the descriptor limit, and the restart of all
// programs. Run by scripts/bench inside a private mount and PID namespace
// with its own /tmp; it prints one table in Markdown.
//   bench WATCHD BENCHPROG STAMP TABLE_OUT
#include "supervisor/supervisor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

static const std::string BENCH = "/tmp/bench";

static std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static void spill(const std::string &path, const std::string &text, fs::perms mode = fs::perms(0644))
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    fs::permissions(path, mode);
}

static long long now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static std::vector<long long> stamps(const std::string &what, const std::string &name)
{
    std::vector<long long> all;
    std::stringstream s(slurp(BENCH + "/" + what + "." + name));
    for (long long v; s >> v;)
        all.push_back(v);
    return all;
}

static bool wait_for(const std::function<bool()> &ready, double seconds)
{
    auto deadline = clock_type::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (clock_type::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

static double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

static std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> kids;
    std::stringstream s(slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                              "/children"));
    for (pid_t k; s >> k;)
        kids.push_back(k);
    return kids;
}

static std::string comm_of(pid_t pid)
{
    std::string c = slurp("/proc/" + std::to_string(pid) + "/comm");
    return c.substr(0, c.find('\n'));
}

// The running program of that name below the supervisor, searched two levels down.
static pid_t program_pid(pid_t supervisor, const std::string &name)
{
    for (pid_t kid : children_of(supervisor)) {
        if (comm_of(kid) == name)
            return kid;
        for (pid_t grandkid : children_of(kid)) {
            if (comm_of(grandkid) == name)
                return grandkid;
        }
    }
    return 0;
}

static long kb_field(const std::string &text, const std::string &field)
{
    size_t at = text.find("\n" + field + ":");
    if (at == std::string::npos && text.compare(0, field.size() + 1, field + ":") == 0)
        at = 0;
    else if (at != std::string::npos)
        at += 1;
    else
        return 0;
    return atol(text.c_str() + at + field.size() + 1);
}

struct memory {
    long rss_kb = 0;
    long private_kb = 0;
    int processes = 0;
};

static memory memory_of(const std::vector<pid_t> &pids)
{
    memory m;
    for (pid_t pid : pids) {
        std::string dir = "/proc/" + std::to_string(pid);
        m.rss_kb += kb_field(slurp(dir + "/status"), "VmRSS");
        std::string rollup = slurp(dir + "/smaps_rollup");
        m.private_kb += kb_field(rollup, "Private_Clean") + kb_field(rollup, "Private_Dirty");
        m.processes++;
    }
    return m;
}

static std::string run_output(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    return out;
}

struct size_figure {
    long binaries = 0;
    long libraries = 0;
    std::string libs;
};

// Stripped sizes of the binaries, and of the shared libraries they need.
static size_figure size_of(const std::vector<std::string> &binaries)
{
    size_figure f;
    std::map<std::string, long> libs;
    for (const std::string &bin : binaries) {
        std::string stripped = BENCH + "/stripped";
        run_output("strip -o " + stripped + " " + bin + " 2>/dev/null");
        f.binaries += static_cast<long>(fs::file_size(stripped));
        std::stringstream ldd(run_output("ldd " + bin + " 2>/dev/null"));
        for (std::string line; std::getline(ldd, line);) {
            size_t arrow = line.find("=> /");
            if (arrow == std::string::npos)
                continue;
            std::string path = line.substr(arrow + 3, line.find(' ', arrow + 3) - arrow - 3);
            std::string name = fs::path(path).filename().string();
            libs[name] = static_cast<long>(fs::file_size(fs::canonical(path)));
        }
    }
    for (const auto &[name, size] : libs) {
        f.libraries += size;
        f.libs += (f.libs.empty() ? "" : ", ") + name;
    }
    return f;
}

static pid_t start_process(const std::vector<std::string> &argv, const std::string &cwd,
                           const std::string &out)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        FILE *f = freopen(out.c_str(), "w", stdout);
        (void)f;
        dup2(1, 2);
        std::vector<char *> raw;
        for (const std::string &a : argv)
            raw.push_back(const_cast<char *>(a.c_str()));
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

// System calls of the processes (every thread) over the given seconds.
static std::pair<long, std::string> idle_calls(const std::vector<pid_t> &pids, int seconds,
                                               const std::string &tag)
{
    std::string out = BENCH + "/idle." + tag;
    std::string command = "timeout -s INT " + std::to_string(seconds) + " strace -f -c -o " + out;
    for (pid_t pid : pids) {
        for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
            command += " -p " + task.path().filename().string();
    }
    run_output(command + " >/dev/null 2>&1");
    long total = 0;
    std::string names;
    std::stringstream s(slurp(out));
    for (std::string line; std::getline(s, line);) {
        std::stringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        if (w.size() < 5 || w[0] == "%" || w[0][0] == '-')
            continue;
        if (w.back() == "total") {
            total = atol(w[3].c_str());
        } else {
            names += (names.empty() ? "" : " ") + w.back() + "×" + w[3];
        }
    }
    return {total, names};
}

struct supervisor_setup {
    std::string label;
    std::string prefix;   // program names: prefix + 1..4
    pid_t pid = 0;
    std::vector<pid_t> processes() const
    {
        std::vector<pid_t> all = {pid};
        if (label != "watchd" && label != "watchd, one watched")
            for (pid_t kid : children_of(pid))
                all.push_back(kid);
        return all;
    }
};

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: bench WATCHD BENCHPROG STAMP TABLE_OUT\n");
        return 2;
    }
    const std::string watchd = argv[1], prog = argv[2], stamp = argv[3], table_out = argv[4];
    fs::create_directories(BENCH);

    // Four long-running programs under each supervisor, each with names of its own.
    auto watchd_dir = [&](const std::string &dir, const std::string &exe, const std::string &prefix,
                          bool watch_first) {
        fs::create_directories(dir);
        fs::copy_file(watchd, dir + "/" + exe);
        std::string list;
        for (int i = 1; i <= 4; i++) {
            std::string name = prefix + std::to_string(i);
            fs::copy_file(prog, dir + "/" + name);
            list += std::string(i > 1 ? "," : "") + "{\"base\":\"" + name + "\"" +
                    (watch_first && i == 1 ? ",\"excheck\":true" : "") + "}";
        }
        spill(dir + "/config", "{\"__watch\":{\"processes\":[" + list + "]}}");
    };
    watchd_dir(BENCH + "/wa", "watchd", "w", false);
    watchd_dir(BENCH + "/wb", "watchdhb", "h", true);
    watchd_dir(BENCH + "/wc", "watchdra", "c", false);
    for (const std::string &kind : {std::string("runit"), std::string("s6")}) {
        std::string prefix = kind == "runit" ? "r" : "s";
        fs::create_directories(BENCH + "/" + kind + "/bin");
        for (int i = 1; i <= 4; i++) {
            std::string name = prefix + std::to_string(i);
            std::string service = BENCH + "/" + kind + "/scan/" + name;
            fs::create_directories(service);
            fs::copy_file(prog, BENCH + "/" + kind + "/bin/" + name);
            spill(service + "/run", "#!/bin/sh\nexec " + BENCH + "/" + kind + "/bin/" + name + "\n",
                  fs::perms(0755));
        }
    }

    supervisor_setup wa{"watchd", "w"}, wb{"watchd, one watched", "h"}, wc{"watchd (restart all)", "c"};
    supervisor_setup runit{"runit", "r"}, s6{"s6", "s"};
    auto t0 = clock_type::now();
    wa.pid = start_process({BENCH + "/wa/watchd"}, "/", BENCH + "/wa.out");
    wb.pid = start_process({BENCH + "/wb/watchdhb"}, "/", BENCH + "/wb.out");
    wc.pid = start_process({BENCH + "/wc/watchdra"}, "/", BENCH + "/wc.out");
    runit.pid = start_process({"runsvdir", BENCH + "/runit/scan"}, "/", BENCH + "/runit.out");
    s6.pid = start_process({"s6-svscan", BENCH + "/s6/scan"}, "/", BENCH + "/s6.out");
    for (const supervisor_setup *s : {&wa, &wb, &wc, &runit, &s6}) {
        for (int i = 1; i <= 4; i++) {
            std::string name = s->prefix + std::to_string(i);
            if (!wait_for([&] { return !stamps("start", name).empty(); }, 15)) {
                fprintf(stderr, "bench: %s never started %s\n", s->label.c_str(), name.c_str());
                return 1;
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));

    // Memory of the supervisor processes alone, programs excluded.
    memory mem_watchd = memory_of(wa.processes());
    memory mem_runit = memory_of(runit.processes());
    memory mem_s6 = memory_of(s6.processes());

    // Idle work of the watched watchd, over a window that holds its pass at 120 s.
    std::pair<long, std::string> idle_wb;
    std::thread idle_wb_thread([&] {
        std::this_thread::sleep_until(t0 + std::chrono::seconds(90));
        idle_wb = idle_calls(wb.processes(), 60, "wb");
    });

    // Restart overhead: SIGKILL to a program, until its new instance runs, less
    // the supervisor's designed delay. One at a time, so that no measurement
    // competes with another for the CPU: runit's and s6's samples are taken
    // while watchd sleeps through its 10 s.
    std::vector<double> restart_watchd, restart_runit, restart_s6;
    auto kill_program = [&](const supervisor_setup *s, size_t *before) {
        std::string name = s->prefix + "2";
        pid_t pid = 0;
        if (!wait_for([&] { return (pid = program_pid(s->pid, name)) > 0; }, 5))
            return -1LL;
        *before = stamps("start", name).size();
        long long killed_at = now_ns();
        kill(pid, SIGKILL);
        return killed_at;
    };
    auto restarted = [&](const supervisor_setup *s, size_t before, long long killed_at,
                         double delay_s, std::vector<double> *out) {
        std::string name = s->prefix + "2";
        if (killed_at < 0 ||
            !wait_for([&] { return stamps("start", name).size() > before; }, 20))
            return;
        out->push_back((stamps("start", name).back() - killed_at) / 1e6 - delay_s * 1000);
        // Past both runit's and s6's one second between starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    };
    for (int sample = 0; sample < 10; sample++) {
        size_t before_watchd = 0, before = 0;
        long long watchd_killed = kill_program(&wa, &before_watchd);
        long long at = kill_program(&runit, &before);
        restarted(&runit, before, at, 0, &restart_runit);
        at = kill_program(&s6, &before);
        restarted(&s6, before, at, 0, &restart_s6);
        restarted(&wa, before_watchd, watchd_killed, 10, &restart_watchd);
    }

    // Idle work of the others, once their restarts are over.
    std::pair<long, std::string> idle_wa, idle_runit, idle_s6;
    std::thread i1([&] { idle_wa = idle_calls(wa.processes(), 60, "wa"); });
    std::thread i2([&] { idle_runit = idle_calls(runit.processes(), 60, "runit"); });
    std::thread i3([&] { idle_s6 = idle_calls(s6.processes(), 60, "s6"); });

    // Meanwhile, work that makes none of those three do anything.
    // Restart of all: one program of the third watchd exits with 160, until
    // all four run again.
    std::vector<double> restart_all;
    for (int sample = 0; sample < 10; sample++) {
        std::vector<size_t> before;
        for (int i = 1; i <= 4; i++)
            before.push_back(stamps("start", "c" + std::to_string(i)).size());
        pid_t pid = program_pid(wc.pid, "c1");
        if (pid <= 0)
            break;
        kill(pid, SIGUSR1);
        bool all = wait_for([&] {
            for (int i = 1; i <= 4; i++)
                if (stamps("start", "c" + std::to_string(i)).size() <= before[i - 1])
                    return false;
            return true;
        }, 10);
        if (!all)
            break;
        long long last = 0;
        for (int i = 1; i <= 4; i++)
            last = std::max(last, stamps("start", "c" + std::to_string(i)).back());
        restart_all.push_back((last - stamps("exit", "c1").back()) / 1e6);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    // Spawn cost: watchd's own launcher, from before fork to the child's first
    // instruction after exec, at three soft descriptor limits taken in turn so
    // that any drift of the machine falls on all three alike.
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t softs[] = {1024, 4096, limit.rlim_max};
    std::vector<double> costs[3];
    for (int i = 0; i < 500; i++) {
        for (int k = 0; k < 3; k++) {
            struct rlimit set = {softs[k], limit.rlim_max};
            setrlimit(RLIMIT_NOFILE, &set);
            unlink((BENCH + "/stamp").c_str());
            long long before = now_ns();
            pid_t pid = spawn_child(stamp.c_str(), "", 0, 0, 0);
            int status;
            waitpid(pid, &status, 0);
            std::string text = slurp(BENCH + "/stamp");
            if (!text.empty())
                costs[k].push_back((atoll(text.c_str()) - before) / 1e3);
        }
    }
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<std::pair<rlim_t, double>> spawn;
    for (int k = 0; k < 3; k++)
        spawn.push_back({softs[k], median(costs[k])});

    i1.join();
    i2.join();
    i3.join();
    idle_wb_thread.join();

    size_figure size_watchd = size_of({BENCH + "/wa/watchd"});
    std::string runsv = run_output("command -v runsv"), runsvdir = run_output("command -v runsvdir");
    std::string svscan = run_output("command -v s6-svscan"),
                supervise = run_output("command -v s6-supervise");
    auto trim = [](std::string s) { return s.substr(0, s.find('\n')); };
    size_figure size_runit = size_of({trim(runsvdir), trim(runsv)});
    size_figure size_s6 = size_of({trim(svscan), trim(supervise)});

    char buf[512];
    std::string t;
    auto row = [&](const char *fmt, auto... args) {
        snprintf(buf, sizeof buf, fmt, args...);
        t += buf;
    };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    t += "| Measure | watchd | runit | s6 | watchd / runit | watchd / s6 |\n";
    t += "|---|---|---|---|---|---|\n";
    row("| Supervisor processes | 1 | %d (runsvdir + runsv) | %d (s6-svscan + s6-supervise) | | |\n",
        mem_runit.processes, mem_s6.processes);
    row("| Resident set, kB | %ld | %ld | %ld | %.2f | %.2f |\n", mem_watchd.rss_kb,
        mem_runit.rss_kb, mem_s6.rss_kb, ratio(mem_watchd.rss_kb, mem_runit.rss_kb),
        ratio(mem_watchd.rss_kb, mem_s6.rss_kb));
    row("| Private memory, kB | %ld | %ld | %ld | %.2f | %.2f |\n", mem_watchd.private_kb,
        mem_runit.private_kb, mem_s6.private_kb, ratio(mem_watchd.private_kb, mem_runit.private_kb),
        ratio(mem_watchd.private_kb, mem_s6.private_kb));
    row("| Stripped binaries, bytes | %ld | %ld | %ld | %.2f | %.2f |\n", size_watchd.binaries,
        size_runit.binaries, size_s6.binaries, ratio(size_watchd.binaries, size_runit.binaries),
        ratio(size_watchd.binaries, size_s6.binaries));
    row("| Shared libraries needed, bytes | %ld (%s) | %ld (%s) | %ld (%s) | | |\n",
        size_watchd.libraries, size_watchd.libs.c_str(), size_runit.libraries,
        size_runit.libs.c_str(), size_s6.libraries, size_s6.libs.c_str());
    row("| System calls over 60 s idle | %ld | %ld | %ld | | |\n", idle_wa.first, idle_runit.first,
        idle_s6.first);
    row("| System calls over 60 s idle, one program watched | %ld (%s) | | | | |\n", idle_wb.first,
        idle_wb.second.c_str());
    row("| Restart after kill -9, beyond the designed delay, ms (median of %zu/%zu/%zu) | %.2f | "
        "%.2f | %.2f | | |\n",
        restart_watchd.size(), restart_runit.size(), restart_s6.size(), median(restart_watchd),
        median(restart_runit), median(restart_s6));
    row("| Designed delay | 10 s | none once the program ran 1 s | none once 1 s passed since the "
        "last start | | |\n");
    for (const auto &[soft, cost] : spawn)
        row("| Spawn, fork to exec'd program, soft descriptor limit %lu, µs (median of 500) | "
            "%.1f | | | | |\n",
            static_cast<unsigned long>(soft), cost);
    row("| Restart of all four after exit 160, ms (median of %zu) | %.2f | | | | |\n",
        restart_all.size(), median(restart_all));

    printf("%s", t.c_str());
    spill(table_out, t);
    for (pid_t pid : {wa.pid, wb.pid, wc.pid, runit.pid, s6.pid})
        kill(pid, SIGKILL);
    return 0;
}
