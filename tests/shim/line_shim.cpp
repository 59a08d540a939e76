// SPDX-License-Identifier: MIT
// A serial device that misbehaves the way real ones do, for tests of the real tavrinset. Loaded
// with LD_PRELOAD, it changes what the port's system calls report and nothing else: only
// descriptors opened on the panel's device path are touched. It wraps the calls tavrinset makes,
// under the names its builds give them (a fortified open is __open_2).
//
// TPSHIM_PANEL=PATH   the device path the tool opens, when not /dev/tpanel (--device).
// TPSHIM_LOG=FILE     one line appended for everything the shim did to a call.
// TPSHIM_FAULTS=A,B   any of:
//   keeps-speed     the device cannot change its speed: every other part of a change takes,
//                   the speed stays, and the call reports success (as tcsetattr does when
//                   any part of a change took).
//   readback-fails  once the line was changed, reading its settings fails with EIO.
//   flush-fails     discarding input fails with EIO.
//   restore-fails   once the line was changed, a change that waits for output to drain (the
//                   restore at close) fails with EIO, as on an adapter unplugged at the end.
//   eio-at-hangup   a read that would report end of file fails with EIO instead, as USB serial
//                   adapters do when they are unplugged.
//   serial          the port is a serial driver's: TIOCGSERIAL and TIOCSSERIAL work on flags
//                   that start as ASYNC_SKIP_TEST; a change, and the flags at close, are logged.
//   hold-output     what is written stays in the transmit queue, as if the far end had stopped
//                   our output, until a read returns data (the controller answered, so it had
//                   everything) or the line is drained (TCSADRAIN, TCSAFLUSH). A
//                   change of settings with bytes still queued is logged as "changed under".
//                   The bytes themselves reach the other end at once.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <bitset>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One byte on the line at 9600 baud: start bit, eight data bits, stop bit.
constexpr long kByteNs = 1041667;

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Declared by the C library only for fortified builds, which the shim is not.
using Open2Fn = int (*)(const char*, int);

// Whether TPSHIM_FAULTS names this fault.
bool fault(const char* word) {
    static const char* const list = std::getenv("TPSHIM_FAULTS");
    const std::size_t n = std::strlen(word);
    for (const char* p = list != nullptr ? std::strstr(list, word) : nullptr; p != nullptr;
         p = std::strstr(p + 1, word)) {
        if ((p == list || p[-1] == ',') && (p[n] == '\0' || p[n] == ',')) {
            return true;
        }
    }
    return false;
}

std::bitset<4096> gPort;
bool gChanged = false;               // a tcsetattr reached the port
std::size_t gQueued = 0;             // bytes held in the modelled transmit queue
int gSerialFlags = ASYNC_SKIP_TEST;  // the serial driver's flags, with the "serial" fault

bool isPort(int fd) {
    return fd >= 0 && static_cast<std::size_t>(fd) < gPort.size() &&
           gPort.test(static_cast<std::size_t>(fd));
}

// The log is never the port, so its calls pass through the shim untouched.
[[gnu::format(printf, 1, 2)]] void note(const char* fmt, ...) {
    const char* path = std::getenv("TPSHIM_LOG");
    const int saved = errno;
    const int fd =
        path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) {
        va_list args;
        va_start(args, fmt);
        vdprintf(fd, fmt, args);
        va_end(args);
        close(fd);
    }
    errno = saved;
}

int opened(const char* path, int fd) {
    const char* panel = std::getenv("TPSHIM_PANEL");
    if (fd >= 0 && path != nullptr &&
        std::strcmp(path, panel != nullptr ? panel : "/dev/tpanel") == 0 &&
        static_cast<std::size_t>(fd) < gPort.size()) {
        gPort.set(static_cast<std::size_t>(fd));
        gChanged = false;
        gQueued = 0;
        note("open %s as %d\n", path, fd);
    }
    return fd;
}

// The queue empties as fast as the line takes it.
void drainQueue(const char* how) {
    if (gQueued == 0) {
        return;
    }
    const long ns = static_cast<long>(gQueued) * kByteNs;
    timespec t{ns / 1000000000, ns % 1000000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
    note("drained %zu by %s\n", gQueued, how);
    gQueued = 0;
}

ssize_t afterRead(int fd, ssize_t got) {
    if (isPort(fd) && got == 0 && fault("eio-at-hangup")) {
        note("read: end of file given as EIO\n");
        errno = EIO;
        return -1;
    }
    if (isPort(fd) && got > 0) {
        gQueued = 0;  // an answer came, so everything before it went out
    }
    return got;
}

}  // namespace

// The C library names these parameters in its own reserved style.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

int open(const char* path, int flags, ...) {
    static const auto next = real<decltype(&::open)>("open");
    va_list args;
    va_start(args, flags);
    const auto mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, unsigned) : 0u;
    va_end(args);
    return opened(path, next(path, flags, mode));
}

int __open_2(const char* path, int flags) {  // NOLINT(bugprone-reserved-identifier)
    static const auto next = real<Open2Fn>("__open_2");
    return opened(path, next(path, flags));
}

int close(int fd) {
    static const auto next = real<decltype(&::close)>("close");
    if (isPort(fd) && fault("serial")) {
        note("closed with serial flags 0x%x\n", gSerialFlags);
    }
    if (isPort(fd)) {
        gPort.reset(static_cast<std::size_t>(fd));
    }
    return next(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
    static const auto next = real<decltype(&::read)>("read");
    return afterRead(fd, next(fd, buf, n));
}

ssize_t write(int fd, const void* buf, size_t n) {
    static const auto next = real<decltype(&::write)>("write");
    const ssize_t put = next(fd, buf, n);
    if (put > 0 && isPort(fd) && fault("hold-output")) {
        gQueued += static_cast<std::size_t>(put);
    }
    return put;
}

int tcsetattr(int fd, int when, const termios* t) {
    static const auto next = real<decltype(&::tcsetattr)>("tcsetattr");
    static const auto get = real<decltype(&::tcgetattr)>("tcgetattr");
    if (!isPort(fd) || t == nullptr) {
        return next(fd, when, t);
    }
    if (gQueued > 0 && when == TCSANOW) {
        note("changed under %zu still going out\n", gQueued);
    } else if (gQueued > 0) {
        drainQueue(when == TCSADRAIN ? "TCSADRAIN" : "TCSAFLUSH");
    }
    if (gChanged && when != TCSANOW && fault("restore-fails")) {
        note("restore: EIO\n");
        errno = EIO;
        return -1;
    }
    termios take = *t;
    termios now{};
    if (fault("keeps-speed") && get(fd, &now) == 0) {
        cfsetispeed(&take, cfgetispeed(&now));
        cfsetospeed(&take, cfgetospeed(&now));
        note("speed kept\n");
    }
    gChanged = true;
    return next(fd, when, &take);
}

int tcgetattr(int fd, termios* t) {
    static const auto next = real<decltype(&::tcgetattr)>("tcgetattr");
    if (isPort(fd) && gChanged && fault("readback-fails")) {
        note("tcgetattr: EIO\n");
        errno = EIO;
        return -1;
    }
    return next(fd, t);
}

int tcflush(int fd, int queue) {
    static const auto next = real<decltype(&::tcflush)>("tcflush");
    if (isPort(fd) && fault("flush-fails")) {
        note("tcflush: EIO\n");
        errno = EIO;
        return -1;
    }
    if (isPort(fd) && queue != TCIFLUSH) {
        gQueued = 0;  // what was going out is thrown away
    }
    return next(fd, queue);
}

int ioctl(int fd, unsigned long request, ...) {
    static const auto next = real<decltype(&::ioctl)>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (isPort(fd) && fault("serial") && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto* ss = static_cast<serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            *ss = serial_struct{};
            ss->flags = gSerialFlags;
        } else {
            gSerialFlags = ss->flags;
            note("serial flags 0x%x\n", gSerialFlags);
        }
        return 0;
    }
    return next(fd, request, arg);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
