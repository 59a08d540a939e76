// SPDX-License-Identifier: MIT
// tpanel-emu: the touchscreen controller on a pseudo-terminal, for trying tavrinset, testing
// it, or rehearsing a panel's setup without the hardware.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "options.h"
#include "record.h"
#include "sandbox.h"
#include "server.h"

namespace {

using namespace emu;

// The terminal as a getty would leave it, but without echo: what the command saved at open
// is then unlike its own line in every field, and nothing written early comes back at us.
bool setStartingLine(int slave) {
    termios t{};
    if (tcgetattr(slave, &t) != 0) {
        return false;
    }
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE);
    return tcsetattr(slave, TCSANOW, &t) == 0;
}

int endedStatus(int wstatus, std::string& ended) {
    if (WIFEXITED(wstatus)) {
        ended = "exited with status " + std::to_string(WEXITSTATUS(wstatus));
        return WEXITSTATUS(wstatus);
    }
    if (WIFSIGNALED(wstatus)) {
        ended = std::string("was killed by SIG") + sigabbrev_np(WTERMSIG(wstatus));
        return 128 + WTERMSIG(wstatus);
    }
    ended = "ended";
    return kStatusEmulatorFailed;
}

// A terminal someone else made, served in place of a pty of ours. It gets its settings back
// when we are done with it, whatever the server did with its own descriptor.
class AttachedTerminal {
  public:
    AttachedTerminal() = default;
    AttachedTerminal(const AttachedTerminal&) = delete;
    AttachedTerminal& operator=(const AttachedTerminal&) = delete;
    ~AttachedTerminal() {
        if (fd_ >= 0) {
            tcsetattr(fd_, TCSANOW, &saved_);
            close(fd_);
        }
    }

    // Opens path and sets it raw 9600 8N1; returns a descriptor of its own for the server,
    // or -1 after saying why.
    int open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            std::fprintf(stderr, "tpanel-emu: cannot open %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return -1;
        }
        if (tcgetattr(fd_, &saved_) != 0) {
            std::fprintf(stderr, "tpanel-emu: %s is not a terminal: %s\n", path.c_str(),
                         std::strerror(errno));
            close(std::exchange(fd_, -1));
            return -1;
        }
        // The controller's own line: nothing translated, nothing echoed, no flow control.
        termios t = saved_;
        t.c_iflag = IGNPAR;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        int line = -1;
        // Whatever was waiting was said to nobody: a controller just switched on has not heard it.
        if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0 ||
            tcsetattr(fd_, TCSANOW, &t) != 0 || tcflush(fd_, TCIFLUSH) != 0 ||
            (line = fcntl(fd_, F_DUPFD_CLOEXEC, 0)) < 0) {
            std::fprintf(stderr, "tpanel-emu: cannot set up %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return -1;
        }
        return line;
    }

  private:
    int fd_ = -1;
    termios saved_{};
};

// Where the JSON report goes, opened before anything runs so that a bad path costs nothing.
std::FILE* openJson(const EmuOptions& o) {
    if (o.report != ReportTo::json || o.jsonFile.empty()) {
        return stderr;
    }
    std::FILE* out = std::fopen(o.jsonFile.c_str(), "we");
    if (out == nullptr) {
        std::fprintf(stderr, "tpanel-emu: cannot write %s: %s\n", o.jsonFile.c_str(),
                     std::strerror(errno));
    }
    return out;
}

void report(const EmuOptions& o, const Record& rec, std::FILE* json) {
    if (o.report == ReportTo::text) {
        writeText(stderr, rec);
    } else if (o.report == ReportTo::json) {
        writeJson(json, rec);
    }
    if (json != stderr) {
        std::fclose(json);
    }
}

int serve(const EmuOptions& o) {
    std::FILE* json = openJson(o);
    if (json == nullptr) {
        return kStatusEmulatorFailed;
    }
    int master = -1;
    int slave = -1;
    char name[64] = {};
    AttachedTerminal attached;
    if (!o.attach.empty()) {
        master = attached.open(o.attach);
        if (master < 0) {
            return kStatusEmulatorFailed;
        }
    } else if (openpty(&master, &slave, name, nullptr, nullptr) != 0 || !setStartingLine(slave) ||
               fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
               fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        // We keep the slave open too: the line stays up between the command's open and close.
        std::perror("tpanel-emu: pseudo-terminal");
        return kStatusEmulatorFailed;
    }

    sigset_t handled;
    sigset_t previous;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&handled, sig);
    }
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int sigFd = signalfd(-1, &handled, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);  // a reader gone from our stderr must not stop the report

    if (!o.link.empty() && symlink(name, o.link.c_str()) != 0) {
        std::fprintf(stderr, "tpanel-emu: cannot link %s to %s: %s\n", o.link.c_str(), name,
                     std::strerror(errno));
        return kStatusEmulatorFailed;
    }
    Record rec;
    rec.command = o.command;
    rec.attached = o.attach;
    rec.initial = o.state;
    termios before{};
    if (slave >= 0 && tcgetattr(slave, &before) == 0) {
        rec.lineBefore = before;
    }
    Server server(master, slave, o, rec);
    server.primePending();
    pid_t pid = -1;
    if (!o.command.empty()) {
        Launch launch = launchCommand(name, o.command, previous, o.privateDev);
        if (launch.pid < 0) {
            if (!o.link.empty()) {
                unlink(o.link.c_str());
            }
            return launch.failStatus;
        }
        pid = launch.pid;
    } else if (!o.attach.empty()) {
        std::fprintf(stderr, "tpanel-emu: serving %s until stopped\n", o.attach.c_str());
    } else {
        std::fprintf(stderr, "tpanel-emu: serving %s at %s until stopped\n", name, o.link.c_str());
    }
    CommandProcess command(pid);
    int wstatus = server.run(command, sigFd);
    // On the packets' clock, so that the run ends after its last packet.
    rec.durationMs = server.ms(Server::Clock::now());
    termios after{};
    if (slave >= 0 && tcgetattr(slave, &after) == 0) {
        rec.lineAfter = after;
    }
    if (!o.link.empty()) {
        unlink(o.link.c_str());
    }
    if (pid > 0) {
        rec.status = endedStatus(wstatus, rec.ended);
    } else {
        rec.ended = "stopped";
        rec.status = 0;
    }
    rec.final = server.state();
    report(o, rec, json);
    return rec.status;
}

}  // namespace

int main(int argc, char** argv) {
    EmuOptions o;
    switch (parseEmuOptions(argc, argv, o)) {
        case EmuParsed::help:
        case EmuParsed::version:
            return 0;
        case EmuParsed::error:
            return kStatusEmulatorFailed;
        case EmuParsed::run:
            break;
    }
    return serve(o);
}
