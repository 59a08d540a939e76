// SPDX-License-Identifier: MIT
// The bridge on a line, as tavrinset --print-events runs it: a pseudo-terminal, the packet
// transport and its framer, the touch state and the text sink into /dev/null. A second thread
// plays the controller on the terminal's other end. Three phases:
//   1. paced: 10 000 reports at 1 kHz, a 100 ms lift after every 500: the time from a report's
//      last byte read (the stamp the transport gives it) to its events written, median and
//      99th percentile;
//   2. flood: 1 000 000 reports at 50 kHz, 50 in one write every millisecond, a 100 ms lift
//      after every 100 000: the bridge thread's CPU time per 10 000 reports, and the resident
//      memory at 100 000 reports, at 500 000 and at the end;
//   3. idle: a touch held, then 3 s with nothing on the line: the bridge thread's CPU time,
//      which is what a busy wait would show.
// Build: cmake --build --preset default --target bridge_line_bench.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bridge.h"
#include "line.h"
#include "packet.h"
#include "panelbridge.h"
#include "transport.h"

namespace {

using namespace std::chrono_literals;

constexpr long kPaced = 10'000;
constexpr long kFlood = 1'000'000;

long residentKiB() {
    long pages = 0;
    long resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
        resident = -1;
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// CPU time of the calling thread: the bridge's alone, not the controller's.
double threadCpu() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Packet report(long i) {
    Packet p{};
    p[at::leadIn] = kLeadIn;
    p[at::letter] = letter::touch;
    const auto x = static_cast<std::uint16_t>(i % 4000);  // moves every time: one frame each
    putLe16(&p[at::touchX], x);
    putLe16(&p[at::touchY], static_cast<std::uint16_t>(2000));
    return p;
}

bool writeAll(int fd, const std::uint8_t* b, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, b, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        b += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Which phase the controller is in: set before the phase's first byte goes out.
std::atomic<int> gPhase = 1;

// The controller: the three phases, then it hangs up, which ends the bridge.
void controller(int master) {
    auto due = std::chrono::steady_clock::now() + 200ms;
    for (long i = 0; i < kPaced; ++i) {
        if (i > 0 && i % 500 == 0) {
            due += 100ms;
        }
        std::this_thread::sleep_until(due);
        const Packet p = report(i);
        writeAll(master, p.data(), p.size());
        due += 1ms;
    }
    std::this_thread::sleep_for(200ms);
    gPhase = 2;
    // 50 reports a millisecond, fifty times a 9600-baud line's most, in one write each
    // millisecond: a burst as a USB adapter hands them over.
    std::vector<std::uint8_t> chunk;
    due = std::chrono::steady_clock::now();
    for (long i = 0; i < kFlood; ++i) {
        const Packet p = report(i);
        chunk.insert(chunk.end(), p.begin(), p.end());
        if (chunk.size() == 50 * p.size()) {
            std::this_thread::sleep_until(due);
            writeAll(master, chunk.data(), chunk.size());
            chunk.clear();
            due += 1ms;
        }
        if ((i + 1) % 100'000 == 0) {
            due += 100ms;
        }
    }
    std::this_thread::sleep_for(200ms);
    gPhase = 3;
    const Packet last = report(1);
    writeAll(master, last.data(), last.size());
    std::this_thread::sleep_for(3s);
    ::close(master);
}

// Notes each report's stamp, and the CPU and memory at the phases' edges.
class Stamped final : public TouchSource, public EventSink {
  public:
    Stamped(TouchSource& in, EventSink& out) : in_(in), out_(out) { latencies.reserve(kPaced); }

    Awaited next(TouchReport& r, std::optional<TouchTime> deadline) override {
        const Awaited a = in_.next(r, deadline);
        pending_ = a == Awaited::report;
        if (pending_) {
            stamp_ = r.at;
            const int phase = gPhase;
            if (phase != phase_ && phase == 2) {
                cpuFloodStart = threadCpu();
            } else if (phase != phase_ && phase == 3) {
                cpuFloodEnd = cpuIdleStart = threadCpu();
                residentEnd = residentKiB();
            }
            phase_ = phase;
            counts[phase - 1] += 1;
            if (phase == 2 && counts[1] == 100'000) {
                residentEarly = residentKiB();
            } else if (phase == 2 && counts[1] == 500'000) {
                residentMid = residentKiB();
            }
        }
        return a;
    }

    int write(std::span<const InputEvent> frame) override {
        const int err = out_.write(frame);
        if (pending_ && phase_ == 1) {
            latencies.push_back((std::chrono::steady_clock::now() - stamp_).count());
        }
        pending_ = false;
        return err;
    }

    std::vector<long> latencies;
    long counts[3] = {};
    double cpuFloodStart = 0, cpuFloodEnd = 0, cpuIdleStart = 0;
    long residentEarly = 0, residentMid = 0, residentEnd = 0;

  private:
    TouchSource& in_;
    EventSink& out_;
    bool pending_ = false;
    int phase_ = 1;
    TouchTime stamp_{};
};

}  // namespace

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null == nullptr) {
        std::perror("/dev/null");
        return 1;
    }
    PortLine line(slave);
    Transport transport(line, Framer::kQuietUart, {}, "bench");
    PanelTouches panel(transport);
    TextSink text(null);
    Stamped stamped(panel, text);
    TouchTracker touches(TouchMapping({0, 4095}, {4095, 0}, {}), stamped, 0ms);
    std::thread player(controller, master);
    const BridgeResult result = runBridge(stamped, touches);
    const double cpuEnd = threadCpu();
    player.join();
    std::vector<long>& l = stamped.latencies;
    std::sort(l.begin(), l.end());
    const long* n = stamped.counts;
    std::printf("reports seen: %ld of %ld paced, %ld of %ld flooded, %ld of 1 idle\n", n[0], kPaced,
                n[1], kFlood, n[2]);
    if (l.empty() || result.sinkError != 0 || result.end != BridgeEnd::gone || n[2] != 1) {
        std::fputs("bridge_line_bench: the run did not go through\n", stderr);
        return 1;
    }
    std::printf(
        "paced: %zu reports timed, last byte read to events written: median %.1f us, "
        "p99 %.1f us, max %.1f us\n",
        l.size(), static_cast<double>(l[l.size() / 2]) / 1e3,
        static_cast<double>(l[l.size() * 99 / 100]) / 1e3, static_cast<double>(l.back()) / 1e3);
    std::printf(
        "flood: CPU per 10000 reports %.2f ms; resident %ld KiB after 100000, %ld KiB "
        "after 500000, %ld KiB at the end\n",
        (stamped.cpuFloodEnd - stamped.cpuFloodStart) * 1e3 / (static_cast<double>(n[1]) / 1e4),
        stamped.residentEarly, stamped.residentMid, stamped.residentEnd);
    std::printf("idle: CPU %.2f ms over 3 s with a touch held, then released, then nothing\n",
                (cpuEnd - stamped.cpuIdleStart) * 1e3);
    std::fclose(null);
    return 0;
}
