// SPDX-License-Identifier: MIT
#include "line.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "io.h"

Wake PortLine::poll(short events, Time until, bool stoppable, int& err) {
    const int watched = events == POLLIN && until == kNever ? watched_ : -1;
    for (;;) {
        if (stoppable && pendingStop() != 0) {
            return Wake::stopped;
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (until != kNever) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now());
            if (left.count() <= 0) {
                return Wake::timeout;
            }
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeout = &ts;
        }
        pollfd p[2] = {{fd_, events, 0}, {watched, 0, 0}};
        // Waits that must not be cut short (putting the controller's mode back) keep the stop
        // signals blocked.
        const sigset_t* mask = stoppable ? stopWaitMask() : nullptr;
        int n = ppoll(p, watched >= 0 ? 2 : 1, timeout, mask);
        if (n > 0) {
            if (p[0].revents != 0) {
                return Wake::readable;
            }
            return Wake::watched;
        }
        if (n == 0) {
            return Wake::timeout;
        }
        if (errno != EINTR) {
            err = errno;
            return Wake::failed;
        }
    }
}

Wake PortLine::wait(Time until, bool stoppable, int& err) {
    return poll(POLLIN, until, stoppable, err);
}

Io PortLine::read(std::uint8_t* buf, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(fd_, buf, size);
        if (got >= 0) {
            return {got, 0};
        }
        if (errno != EINTR) {
            return {-1, errno};
        }
    }
}

Io PortLine::write(const std::uint8_t* bytes, std::size_t size, Time until, bool stoppable) {
    for (;;) {
        ssize_t n = ::write(fd_, bytes, size);
        if (n >= 0) {
            return {n, 0};
        }
        if (errno == EINTR) {
            continue;  // nothing was written
        }
        if (errno != EAGAIN) {
            return {-1, errno};
        }
        int err = 0;
        switch (poll(POLLOUT, until, stoppable, err)) {
            case Wake::readable:
            case Wake::watched:
                break;
            case Wake::timeout:
                return {-1, ETIMEDOUT};
            case Wake::stopped:
                return {-1, EINTR};
            case Wake::failed:
                return {-1, err};
        }
    }
}

bool PortLine::stopPending() {
    return pendingStop() != 0;
}
