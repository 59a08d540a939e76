// SPDX-License-Identifier: MIT
// Audits the signals a process sends, for tests: loaded with LD_PRELOAD, it logs every kill()
// and killpg() to the file named by SIGNAL_AUDIT_LOG, one line each:
//
//   SENDER-COMM SENDER-PID -> TARGET SIG child|other [group]
//
// "child": a live or zombie child of the sender; a pid it has already reaped is "other", as
// that number may belong to any process by now. "group": a process group or every process.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

void record(pid_t pid, int sig) {
    const char* path = std::getenv("SIGNAL_AUDIT_LOG");
    if (path == nullptr) {
        return;
    }
    const int saved = errno;
    char comm[32];
    readProc(getpid(), "comm", comm, sizeof comm);
    comm[std::strcspn(comm, "\n")] = '\0';
    char line[160];
    const int len =
        std::snprintf(line, sizeof line, "%s %d -> %d %d %s%s\n", comm, static_cast<int>(getpid()),
                      static_cast<int>(pid), sig, pid > 0 && isChild(pid) ? "child" : "other",
                      pid <= 0 ? " group" : "");
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
    if (sig != 0) {
        record(pid, sig);
    }
    return next(pid, sig);
}

int killpg(pid_t group, int sig) {
    static const auto next = real<KillFn>("killpg");
    record(-group, sig);
    return next(group, sig);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
