// SPDX-License-Identifier: MIT
// The bridge's own cost, without the line: a million touch reports, in strokes of 50 with a
// silence after each, through the loop, the touch state and the text sink into /dev/null.
// Prints the time from a report handed over to its events written (median and 99th
// percentile), the CPU time per 10 000 reports, and the resident memory at a tenth of the way
// and at the end. Build: cmake --build --preset default --target bridge_bench.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bridge.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kReports = 1'000'000;

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
    return resident * 4;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Reports 10 ms apart in virtual time, a 300 ms silence after every 50th. Latency samples are
// in whole nanoseconds, one per report, in a vector filled in advance so that its pages are
// resident before the first report and do not count as the bridge's growth.
class Feed final : public TouchSource, public EventSink {
  public:
    explicit Feed(EventSink& sink) : out(sink), latencies(kReports, 0) {}
    Awaited next(TouchReport& r, std::optional<TouchTime> deadline) override {
        if (sent_ == kReports) {
            return Awaited::stopped;
        }
        const TouchTime due = TouchTime(std::chrono::milliseconds(10 * sent_ + 300 * (sent_ / 50)));
        if (deadline && *deadline < due) {
            return Awaited::timeout;
        }
        if (sent_ == kReports / 10) {
            residentAtTenth = residentKiB();
        } else if (sent_ == kReports / 2) {
            residentAtHalf = residentKiB();
        }
        const auto v = static_cast<std::uint16_t>(sent_ % 800);
        r = {v, static_cast<std::uint16_t>(v % 600), due};
        ++sent_;
        handed_ = Clock::now();
        return Awaited::report;
    }
    int write(std::span<const InputEvent> frame) override {
        const int err = out.write(frame);
        if (handed_ != Clock::time_point{}) {
            latencies[static_cast<std::size_t>(timed++)] = (Clock::now() - handed_).count();
            handed_ = {};
        }
        return err;
    }

    EventSink& out;
    std::vector<long> latencies;
    long timed = 0;
    long residentAtTenth = 0;
    long residentAtHalf = 0;

  private:
    long sent_ = 0;
    Clock::time_point handed_{};
};

}  // namespace

int main() {
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null == nullptr) {
        std::perror("/dev/null");
        return 1;
    }
    TextSink text(null);
    Feed feed(text);
    TouchTracker touches(TouchMapping({0, 799}, {0, 599}, {true, false, true}), feed,
                         std::chrono::milliseconds(0));
    const double cpu0 = cpuSeconds();
    const BridgeResult result = runBridge(feed, touches);
    const double cpu = cpuSeconds() - cpu0;
    std::vector<long>& l = feed.latencies;
    l.resize(static_cast<std::size_t>(feed.timed));
    std::sort(l.begin(), l.end());
    if (l.empty() || result.sinkError != 0) {
        std::fputs("bridge_bench: no events written\n", stderr);
        return 1;
    }
    std::printf("reports %ld, frames timed %zu\n", kReports, l.size());
    std::printf("report to events written: median %.2f us, p99 %.2f us, max %.2f us\n",
                static_cast<double>(l[l.size() / 2]) / 1e3,
                static_cast<double>(l[l.size() * 99 / 100]) / 1e3,
                static_cast<double>(l.back()) / 1e3);
    std::printf("CPU per 10000 reports: %.3f ms\n", cpu * 1e3 / (kReports / 10000.0));
    std::printf("resident: %ld KiB after %ld reports, %ld KiB after %ld, %ld KiB after %ld\n",
                feed.residentAtTenth, kReports / 10, feed.residentAtHalf, kReports / 2,
                residentKiB(), kReports);
    std::fclose(null);
    return 0;
}
