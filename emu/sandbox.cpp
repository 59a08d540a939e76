// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>

namespace emu {

namespace {

enum Stage { kNamespace = 1, kExec = 2 };

// Sent from the child to the parent when it cannot get as far as the exec.
struct Failure {
    int stage = 0;
    int err = 0;
    char what[120] = {};
};

bool fail(Failure& f, int stage, const char* what) {
    f.stage = stage;
    f.err = errno;
    std::snprintf(f.what, sizeof f.what, "%s", what);
    return false;
}

bool writeFile(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    auto len = static_cast<ssize_t>(std::strlen(text));
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    return ok;
}

bool privateMounts(Failure& f) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (errno != EPERM) {
            return fail(f, kNamespace, "unshare(CLONE_NEWNS)");
        }
        // Not privileged: a user namespace of our own, mapped onto who we are, owns the mounts.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return fail(f, kNamespace, "unshare(CLONE_NEWUSER | CLONE_NEWNS)");
        }
        char map[64];
        std::snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
        if (!writeFile("/proc/self/uid_map", map)) {
            return fail(f, kNamespace, "writing /proc/self/uid_map");
        }
        writeFile("/proc/self/setgroups", "deny\n");
        std::snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
        if (!writeFile("/proc/self/gid_map", map)) {
            return fail(f, kNamespace, "writing /proc/self/gid_map");
        }
    }
    // Nothing we mount may leak back into the namespace we came from.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail(f, kNamespace, "making / private");
    }
    return true;
}

// Mounts what fd refers to onto a new node at target. A pty slave can only be reached
// through its own devpts mount, so it is bound rather than recreated.
bool bindOnto(int fd, const char* target, bool dir) {
    if (dir) {
        if (mkdir(target, 0755) != 0) {
            return false;
        }
    } else {
        int node = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (node < 0) {
            return false;
        }
        close(node);
    }
    char source[64];
    std::snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    return mount(source, target, nullptr, MS_BIND, nullptr) == 0;
}

struct Node {
    const char* name;
    bool dir;
    bool needed;
};

// What a command may reasonably expect in /dev besides the panel; only null is required.
constexpr Node kNodes[] = {{"null", false, true},     {"zero", false, false},
                           {"full", false, false},    {"random", false, false},
                           {"urandom", false, false}, {"tty", false, false},
                           {"pts", true, false},      {"shm", true, false}};

bool privateDev(const char* slavePath, Failure& f) {
    // Opened by path from inside the new namespace: only its own mounts can be bound.
    int slave = open(slavePath, O_PATH | O_CLOEXEC);
    int fds[std::size(kNodes)];
    for (std::size_t i = 0; i < std::size(kNodes); ++i) {
        std::string path = std::string("/dev/") + kNodes[i].name;
        fds[i] = open(path.c_str(), O_PATH | O_CLOEXEC);
    }
    if (mount("tpanel-emu", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
        return fail(f, kNamespace, "mounting a tmpfs on /dev");
    }
    if (slave < 0 || !bindOnto(slave, "/dev/tpanel", false)) {
        return fail(f, kNamespace, "binding the terminal onto /dev/tpanel");
    }
    for (std::size_t i = 0; i < std::size(kNodes); ++i) {
        std::string path = std::string("/dev/") + kNodes[i].name;
        if ((fds[i] < 0 || !bindOnto(fds[i], path.c_str(), kNodes[i].dir)) && kNodes[i].needed) {
            return fail(f, kNamespace, "binding /dev/null");
        }
        if (fds[i] >= 0) {
            close(fds[i]);
        }
    }
    const char* const links[][2] = {{"/proc/self/fd", "/dev/fd"},
                                    {"/proc/self/fd/0", "/dev/stdin"},
                                    {"/proc/self/fd/1", "/dev/stdout"},
                                    {"/proc/self/fd/2", "/dev/stderr"},
                                    {"pts/ptmx", "/dev/ptmx"}};
    for (const auto& link : links) {
        std::ignore = symlink(link[0], link[1]);  // conveniences only
    }
    return true;
}

[[noreturn]] void runChild(const char* slavePath, const std::vector<std::string>& command,
                           const sigset_t& childMask, bool ownDev, int report) {
    Failure f;
    if (!ownDev || (privateMounts(f) && privateDev(slavePath, f))) {
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        for (int sig = 1; sig < NSIG; ++sig) {
            signal(sig, SIG_DFL);
        }
        sigprocmask(SIG_SETMASK, &childMask, nullptr);
        execvp(argv[0], argv.data());
        fail(f, kExec, command[0].c_str());
    }
    (void)!write(report, &f, sizeof f);
    _exit(kStatusNotFound);
}

}  // namespace

Launch launchCommand(const char* slavePath, const std::vector<std::string>& command,
                     const sigset_t& childMask, bool privateDev) {
    Launch result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("tpanel-emu: pipe");
        result.failStatus = kStatusEmulatorFailed;
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        runChild(slavePath, command, childMask, privateDev, pipeFds[1]);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        std::perror("tpanel-emu: fork");
        close(pipeFds[0]);
        result.failStatus = kStatusEmulatorFailed;
        return result;
    }
    // The pipe closes unread at a successful exec.
    Failure f;
    ssize_t got;
    do {
        got = read(pipeFds[0], &f, sizeof f);
    } while (got < 0 && errno == EINTR);
    close(pipeFds[0]);
    if (got != static_cast<ssize_t>(sizeof f)) {
        result.pid = pid;
        return result;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (f.stage == kNamespace) {
        std::fprintf(stderr,
                     "tpanel-emu: cannot give the command a private /dev/tpanel: %s: %s\n"
                     "tpanel-emu: this needs root, or a kernel that lets users create user "
                     "namespaces\n",
                     f.what, std::strerror(f.err));
        result.failStatus = kStatusNoNamespace;
    } else {
        std::fprintf(stderr, "tpanel-emu: cannot run %s: %s\n", f.what, std::strerror(f.err));
        result.failStatus = f.err == ENOENT ? kStatusNotFound : kStatusCannotRun;
    }
    return result;
}

bool CommandProcess::signal(int sig) {
    return pid_ > 0 && kill(pid_, sig) == 0;
}

bool CommandProcess::reap(int& status) {
    if (pid_ <= 0) {
        return false;
    }
    pid_t got;
    do {
        got = waitpid(pid_, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got != pid_) {
        return false;
    }
    pid_ = -1;
    return true;
}

}  // namespace emu
