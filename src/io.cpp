// SPDX-License-Identifier: MIT
#include "io.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cassert>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <utility>

#include "framer.h"

Port::Port(Port&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      saved_(other.saved_),
      serialFlags_(std::exchange(other.serialFlags_, -1)),
      quiet_(other.quiet_) {}

Port& Port::operator=(Port&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        saved_ = other.saved_;
        serialFlags_ = std::exchange(other.serialFlags_, -1);
        quiet_ = other.quiet_;
    }
    return *this;
}

bool Port::close() {
    if (fd_ < 0) {
        return true;
    }
    // Let a command still going out leave at the old speed before the line changes under it.
    bool restored = tcsetattr(fd_, TCSADRAIN, &saved_) == 0;
    if (serialFlags_ >= 0) {
        serial_struct ss{};
        if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
            ss.flags = std::exchange(serialFlags_, -1);
            restored = ioctl(fd_, TIOCSSERIAL, &ss) == 0 && restored;
        } else {
            restored = false;
        }
    }
    // After close() the descriptor is gone whatever it returned; retrying could close another.
    bool closed = ::close(std::exchange(fd_, -1)) == 0;
    return restored && closed;
}

termios panelLine() {
    termios t{};
    t.c_cflag = CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_iflag = IGNPAR;
    t.c_oflag = 0;
    t.c_lflag = 0;
    // Bytes are handed over as they come: where a packet begins is told partly by when its
    // bytes arrived, so they must not wait in the line discipline for a whole packet.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return t;
}

bool isPanelLine(const termios& t) {
    constexpr tcflag_t kFrame = CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS;
    return cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600 &&
           (t.c_cflag & kFrame) == (CS8 | CLOCAL | CREAD) && t.c_iflag == IGNPAR &&
           t.c_oflag == 0 && t.c_lflag == 0 && t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

namespace {

// Sets the packet line. The descriptor stays non-blocking: every wait goes through poll,
// bounded by a deadline and open to the stop signals.
bool configurePort(int fd) {
    termios want = panelLine();
    if (tcsetattr(fd, TCSANOW, &want) != 0) {
        std::perror("openPanel");
        return false;
    }
    // tcsetattr reports success when any part of the change took.
    termios got{};
    if (tcgetattr(fd, &got) != 0) {
        std::perror("openPanel");
        return false;
    }
    if (!isPanelLine(got)) {
        std::fputs("openPanel: device does not accept 9600 baud 8N1 raw mode\n", stderr);
        return false;
    }
    // Touch reports sent before we started are not replies to anything of ours.
    if (tcflush(fd, TCIFLUSH) != 0) {
        std::perror("openPanel");
        return false;
    }
    return true;
}

// Behind a USB adapter bytes wait in the adapter until its latency timer runs out (16 ms by
// default on the common ones); low latency makes the driver hand them over at once. Returns how
// long a pause must be on this line to prove a packet boundary.
bool lowLatency(const serial_struct& ss) {
    return (static_cast<unsigned>(ss.flags) & static_cast<unsigned>(ASYNC_LOW_LATENCY)) != 0;
}

Framer::Duration askLowLatency(Port& port) {
    serial_struct ss{};
    if (ioctl(port.fd(), TIOCGSERIAL, &ss) != 0) {
        return Framer::kQuietUart;  // not a serial driver (a pseudo-terminal): no latency timer
    }
    if (lowLatency(ss)) {
        return Framer::kQuietUart;
    }
    const int previous = ss.flags;
    ss.flags = static_cast<int>(static_cast<unsigned>(ss.flags) |
                                static_cast<unsigned>(ASYNC_LOW_LATENCY));
    if (ioctl(port.fd(), TIOCSSERIAL, &ss) != 0) {
        return Framer::kQuietUsb;
    }
    port.saveSerialFlags(previous);
    serial_struct now{};
    if (ioctl(port.fd(), TIOCGSERIAL, &now) != 0 || !lowLatency(now)) {
        return Framer::kQuietUsb;
    }
    return Framer::kQuietUart;
}

}  // namespace

Port openPanel(const char* device) {
    assert(device);
    // Non-blocking so that a serial port without carrier detect cannot hang the open.
    int fd = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::perror("openPanel");
        return {};
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            std::fputs("openPanel: device is busy\n", stderr);
        } else {
            std::perror("openPanel");
        }
        ::close(fd);
        return {};
    }
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) {
        std::perror("openPanel");
        ::close(fd);
        return {};
    }
    // From here on the saved settings go back on every way out.
    Port port(fd, saved);
    if (!configurePort(fd)) {
        return {};
    }
    port.setQuiet(askLowLatency(port));
    return port;
}

bool closePanel(Port& port, bool gone) {
    assert(port);
    if (!port.close() && !gone) {
        std::perror("closePanel");
        return false;
    }
    return true;
}

void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() takes the lowest free descriptor, which is this one. Standard output only
            // for reading: a result written to it fails as it would have on the closed one, so
            // that the run can say the result was lost.
            if (::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY) != fd) {
                return;
            }
        }
    }
}

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kStopCount = static_cast<int>(std::size(kStopSignals));

volatile sig_atomic_t gStop = 0;
bool gInstalled = false;
sigset_t gStopSet;
sigset_t gOldMask;
sigset_t gWaitMask;
struct sigaction gOldAction[kStopCount];
struct sigaction gOldPipeAction;

extern "C" void onStopSignal(int sig) {
    if (gStop == 0) {
        gStop = sig;
    }
}

}  // namespace

StopSignals::StopSignals() {
    sigemptyset(&gStopSet);
    for (int i = 0; i < kStopCount; ++i) {
        int sig = kStopSignals[i];
        sigaction(sig, nullptr, &gOldAction[i]);
        // A hang-up left ignored (nohup) stays ignored. SIGINT and SIGQUIT are taken even when
        // ignored: a shell ignores them for every background job, and kill -INT is how scripts
        // end a dump.
        if (sig != SIGHUP || gOldAction[i].sa_handler != SIG_IGN) {
            sigaddset(&gStopSet, sig);
        }
    }
    sigprocmask(SIG_BLOCK, &gStopSet, &gOldMask);
    gWaitMask = gOldMask;
    struct sigaction act {};
    act.sa_handler = onStopSignal;
    act.sa_mask = gStopSet;
    act.sa_flags = 0;  // no SA_RESTART: the wait has to come back to see the flag
    for (int sig : kStopSignals) {
        if (sigismember(&gStopSet, sig) == 1) {
            sigdelset(&gWaitMask, sig);
            sigaction(sig, &act, nullptr);
        }
    }
    // A closed pipe on standard output (the raw dump into head, say) must end the dump
    // through its cleanup, not kill the process with the controller left in raw mode.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &gOldPipeAction);
    gStop = 0;
    gInstalled = true;
}

StopSignals::~StopSignals() {
    // Take any stop signal still pending, so that unblocking below does not kill the process
    // with the default action after the run has already dealt with it.
    timespec none{};
    while (sigtimedwait(&gStopSet, nullptr, &none) > 0) {
    }
    for (int i = 0; i < kStopCount; ++i) {
        if (sigismember(&gStopSet, kStopSignals[i]) == 1) {
            sigaction(kStopSignals[i], &gOldAction[i], nullptr);
        }
    }
    sigaction(SIGPIPE, &gOldPipeAction, nullptr);
    sigprocmask(SIG_SETMASK, &gOldMask, nullptr);
    gInstalled = false;
    gStop = 0;
}

int pendingStop() {
    if (gStop != 0) {
        return gStop;
    }
    if (!gInstalled) {
        return 0;
    }
    sigset_t pending;
    if (sigpending(&pending) == 0) {
        for (int sig : kStopSignals) {
            if (sigismember(&gStopSet, sig) == 1 && sigismember(&pending, sig) == 1) {
                return sig;
            }
        }
    }
    return 0;
}

const sigset_t* stopWaitMask() {
    return gInstalled ? &gWaitMask : nullptr;
}
