// SPDX-License-Identifier: MIT
// Audits the signals a process sends, for tests: loaded with LD_PRELOAD, it logs every kill()
// and killpg() to the file named by SIGNAL_AUDIT_LOG, one line each:
//
//   SENDER-COMM SENDER-PID -> TARGET SIG child|other [stale|group]
//
// "stale" marks a signal to a pid this very process has already reaped: that number may
// belong to any process on the machine by now, so the signal is logged and not sent.
// "group" marks a signal to a process group or to every process.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using KillFn = int (*)(pid_t, int);
using WaitpidFn = pid_t (*)(pid_t, int*, int);
using Wait4Fn = pid_t (*)(pid_t, int*, int, rusage*);
using WaitFn = pid_t (*)(int*);

// The pids this process has reaped, most recent last; old ones fall out.
std::array<pid_t, 1024> gReaped{};
std::size_t gReapedCount = 0;

// A wait that reports a child stopped or continued has not reaped it.
pid_t reaped(pid_t pid, const int* status) {
    if (pid > 0 && (status == nullptr || (!WIFSTOPPED(*status) && !WIFCONTINUED(*status)))) {
        gReaped[gReapedCount % gReaped.size()] = pid;
        ++gReapedCount;
    }
    return pid;
}

bool wasReaped(pid_t pid) {
    const std::size_t n = std::min(gReapedCount, gReaped.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (gReaped[i] == pid) {
            return true;
        }
    }
    return false;
}

// Reads a small /proc file into buf; empty on failure.
void readProc(pid_t pid, const char* name, char* buf, std::size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    buf[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const ssize_t got = read(fd, buf, size - 1);
    buf[got > 0 ? got : 0] = '\0';
    close(fd);
}

bool isChild(pid_t pid) {
    char stat[512];
    readProc(pid, "stat", stat, sizeof stat);
    const char* end = std::strrchr(stat, ')');
    int parent = -1;
    char state = 0;
    return end != nullptr && std::sscanf(end + 1, " %c %d", &state, &parent) == 2 &&
           parent == getpid();
}

void record(pid_t pid, int sig, bool stale) {
    const char* path = std::getenv("SIGNAL_AUDIT_LOG");
    if (path == nullptr) {
        return;
    }
    const int saved = errno;
    char comm[32];
    readProc(getpid(), "comm", comm, sizeof comm);
    comm[std::strcspn(comm, "\n")] = '\0';
    const char* kind = stale ? " stale" : pid <= 0 ? " group" : "";
    char line[160];
    const int len = std::snprintf(line, sizeof line, "%s %d -> %d %d %s%s\n", comm,
                                  static_cast<int>(getpid()), static_cast<int>(pid), sig,
                                  pid > 0 && isChild(pid) ? "child" : "other", kind);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && len > 0) {
        (void)!write(fd, line, std::strlen(line));
        close(fd);
    }
    errno = saved;
}

}  // namespace

// The C library names these parameters in its own reserved style.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

int kill(pid_t pid, int sig) {
    static const auto next = real<KillFn>("kill");
    if (sig == 0) {
        return next(pid, sig);
    }
    const bool stale = pid > 0 && wasReaped(pid);
    record(pid, sig, stale);
    return stale ? 0 : next(pid, sig);
}

int killpg(pid_t group, int sig) {
    static const auto next = real<KillFn>("killpg");
    record(-group, sig, false);
    return next(group, sig);
}

pid_t waitpid(pid_t pid, int* status, int options) {
    static const auto next = real<WaitpidFn>("waitpid");
    return reaped(next(pid, status, options), status);
}

pid_t wait4(pid_t pid, int* status, int options, rusage* usage) {
    static const auto next = real<Wait4Fn>("wait4");
    return reaped(next(pid, status, options, usage), status);
}

pid_t wait(int* status) {
    static const auto next = real<WaitFn>("wait");
    return reaped(next(status), status);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
