// SPDX-License-Identifier: MIT
// Audits the signals a process sends, for tests: loaded with LD_PRELOAD, it logs every kill()
// and killpg() to the file named by SIGNAL_AUDIT_LOG, one line each:
//
//   SENDER-COMM SENDER-PID -> TARGET SIG child|other [group]
//
// "child": a live or zombie child of the sender; a pid it has already reaped is "other", as
// that number may belong to any process by now. "group": a process group or every process.
// Senders may be in a signal handler: nothing here allocates.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads a small /proc file into buf; empty on failure.
void readProc(pid_t pid, const char* name, char* buf, std::size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? read(fd, buf, size - 1) : -1;
    buf[got > 0 ? got : 0] = '\0';
    if (fd >= 0) {
        close(fd);
    }
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
    const int saved = errno;
    const int fd =
        path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) {
        char comm[32];
        readProc(getpid(), "comm", comm, sizeof comm);
        comm[std::strcspn(comm, "\n")] = '\0';
        dprintf(fd, "%s %d -> %d %d %s%s\n", comm, static_cast<int>(getpid()),
                static_cast<int>(pid), sig, pid > 0 && isChild(pid) ? "child" : "other",
                pid <= 0 ? " group" : "");
        close(fd);
    }
    errno = saved;
}

}  // namespace

extern "C" {

int kill(pid_t pid, int sig) {
    static const auto next = reinterpret_cast<decltype(&::kill)>(dlsym(RTLD_NEXT, "kill"));
    if (sig != 0) {
        record(pid, sig);
    }
    return next(pid, sig);
}

int killpg(pid_t group, int sig) {  // NOLINT(readability-inconsistent-declaration-parameter-name)
    static const auto next = reinterpret_cast<decltype(&::killpg)>(dlsym(RTLD_NEXT, "killpg"));
    record(-group, sig);
    return next(group, sig);
}

}  // extern "C"
