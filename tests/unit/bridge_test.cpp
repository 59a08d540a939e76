// SPDX-License-Identifier: MIT
// Touch reports into device events: where each lands, and what press, move and release the
// bridge makes of a sequence of them in virtual time.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "bridge.h"
#include "panelbridge.h"
#include "scripted_line.h"

namespace {

struct OrientationCase {
    AxisSpan x, y;
    const char* flags;  // s: swap, x and y: invert
    const char* expected;
};

std::string show(AbsRange r) {
    return std::to_string(r.min) + '-' + std::to_string(r.max);
}

TEST(TouchMapping, EightOrientationsAtCornersCentreAndBeyond) {
    const AxisSpan x{100, 900};
    const AxisSpan y{50, 650};
    // Reports at the top left, top right, bottom left, bottom right, centre, and beyond the
    // right and top edges; then the device's ranges.
    const OrientationCase cases[] = {
        {x, y, "", "100,50 900,50 100,650 900,650 500,350 900,50 x100-900 y50-650"},
        {x, y, "x", "900,50 100,50 900,650 100,650 500,350 100,50 x100-900 y50-650"},
        {x, y, "y", "100,650 900,650 100,50 900,50 500,350 900,650 x100-900 y50-650"},
        {x, y, "xy", "900,650 100,650 900,50 100,50 500,350 100,650 x100-900 y50-650"},
        {x, y, "s", "50,100 50,900 650,100 650,900 350,500 50,900 x50-650 y100-900"},
        {x, y, "sx", "650,100 650,900 50,100 50,900 350,500 650,900 x50-650 y100-900"},
        {x, y, "sy", "50,900 50,100 650,900 650,100 350,500 50,100 x50-650 y100-900"},
        {x, y, "sxy", "650,900 650,100 50,900 50,100 350,500 650,100 x50-650 y100-900"},
        // A span measured backwards turns round by itself, and an invert turns it back.
        {{900, 100}, y, "x", "100,50 900,50 100,650 900,650 500,350 900,50 x100-900 y50-650"},
        {x, {650, 50}, "s", "650,100 650,900 50,100 50,900 350,500 650,900 x50-650 y100-900"},
    };
    const std::uint16_t reports[][2] = {{100, 50},  {900, 50},  {100, 650},
                                        {900, 650}, {500, 350}, {950, 20}};
    for (const OrientationCase& c : cases) {
        const std::string f = c.flags;
        const TouchMapping m(c.x, c.y,
                             {f.find('s') != f.npos, f.find('x') != f.npos, f.find('y') != f.npos});
        std::string got;
        for (const auto& r : reports) {
            const DevicePoint p = m.map(r[0], r[1]);
            got += std::to_string(p.x) + ',' + std::to_string(p.y) + ' ';
        }
        got += 'x' + show(m.rangeX()) + " y" + show(m.rangeY());
        EXPECT_EQ(got, c.expected) << "flags " << f;
    }
}

// A frame as " down x10 y20", " unended" when no report closes it.
std::string frameText(std::span<const InputEvent> frame) {
    std::string text;
    for (const InputEvent& e : frame.first(frame.size() - 1)) {
        text += e.type == EV_KEY ? (e.value != 0 ? " down" : " up")
                                 : (e.code == ABS_X ? " x" : " y") + std::to_string(e.value);
    }
    return text + (formatEvent(frame.back()) == "EV_SYN SYN_REPORT 0" ? "" : " unended");
}

TouchTime at(int ms) {
    return TouchTime(std::chrono::milliseconds(ms));
}

// Plays a script, "MS:X,Y" a report at MS milliseconds, "MS!X,Y" one handed over although the
// deadline had passed, "MSs", "MSg", "MSf" the source stopped, gone or failed; and records the
// frames as "@MS down x10 y20", in the time the source stands at.
class ScriptedSource final : public TouchSource, public EventSink {
  public:
    explicit ScriptedSource(const char* script) : script_(script) {}
    Awaited next(TouchReport& r, std::optional<TouchTime> deadline) override {
        int ms = 0;
        int used = 0;
        char what = 0;
        unsigned x = 0;
        unsigned y = 0;
        if (std::sscanf(script_, " %d%c%n%u,%u%n", &ms, &what, &used, &x, &y, &used) < 2) {
            ADD_FAILURE() << "the script ran out";
            return Awaited::failed;
        }
        if (deadline && at(ms) > *deadline && what != '!') {
            // A second wake for the same deadline would be a busy loop.
            EXPECT_NE(now_, *deadline) << "woken twice at " << ms;
            const bool again = now_ == *deadline;
            now_ = *deadline;
            return again ? Awaited::failed : Awaited::timeout;
        }
        script_ += used;
        now_ = at(ms);
        r = {static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), now_};
        return what == 's'   ? Awaited::stopped
               : what == 'g' ? Awaited::gone
               : what == 'f' ? Awaited::failed
                             : Awaited::report;
    }
    int write(std::span<const InputEvent> frame) override {
        log += " @" + std::to_string(now_.time_since_epoch() / std::chrono::milliseconds(1)) +
               frameText(frame);
        return 0;
    }
    std::string log;

  private:
    const char* script_;
    TouchTime now_;
};

struct SequenceCase {
    int releaseAfterMs;  // 0: learnt
    const char* script;
    const char* expected;
    BridgeEnd end = BridgeEnd::stopped;
};

TEST(Bridge, ReportSequencesIntoPressMoveAndRelease) {
    const SequenceCase cases[] = {
        // Moves, an unmoved report, a release by silence, a press showing the changed axis only.
        {100, "0:10,20 10:11,20 20:11,21 30:11,21 200:11,30 900s",
         " @0 down x10 y20 @10 x11 @20 y21 @130 up @200 down y30 @300 up"},
        // A report after its deadline is a new touch even when the source hands it over late.
        {50, "0:10,20 60!12,20 70s", " @0 down x10 y20 @60 up @60 down x12 @70 up"},
        // Learnt: the cap before any interval, then four median intervals; the gaps between
        // touches do not count.
        {0, "0:1,1 1000:1,2 1020:1,3 1040:1,4 1060:1,5 1080:1,6 3000:1,7 4000s",
         " @0 down x1 y1 @500 up @1000 down y2 @1020 y3 @1040 y4 @1060 y5 @1080 y6 @1160 up"
         " @3000 down y7 @3080 up"},
        {0, "0:1,1 5:2,1 10:3,1 200s", " @0 down x1 y1 @5 x2 @10 x3 @60 up"},           // floor
        {0, "0:1,1 300:2,1 600:3,1 2000s", " @0 down x1 y1 @300 x2 @600 x3 @1100 up"},  // cap
        // Whatever ends the bridge mid-touch releases it.
        {50, "0:5,5 10:6,5 20s", " @0 down x5 y5 @10 x6 @20 up"},
        {0, "0:5,5 10g", " @0 down x5 y5 @10 up", BridgeEnd::gone},
        {0, "0:5,5 10f", " @0 down x5 y5 @10 up", BridgeEnd::failed},
    };
    for (const SequenceCase& c : cases) {
        ScriptedSource source(c.script);
        TouchTracker touches(TouchMapping({0, 100}, {0, 100}, {}), source,
                             std::chrono::milliseconds(c.releaseAfterMs));
        const BridgeResult result = runBridge(source, touches);
        EXPECT_EQ(source.log, c.expected) << c.script;
        EXPECT_EQ(result.end, c.end) << c.script;
    }
}

// The bridge on the line: reports stamped when their last byte came, whatever the framer made
// them wait for; other packets, and a touch letter behind no lead-in, passed over; the end of
// the line releasing the touch. Times in ms after the line was opened.
class LineLog final : public EventSink {
  public:
    explicit LineLog(ScriptedLine& line) : line_(line) {}
    int write(std::span<const InputEvent> frame) override {
        log += " @" + std::to_string((line_.now() - start_) / std::chrono::milliseconds(1)) +
               frameText(frame);
        return 0;
    }
    std::string log;

  private:
    ScriptedLine& line_;
    Time start_ = line_.now();
};

Packet touchAt(std::uint16_t x, std::uint16_t y, std::uint8_t lead = kLeadIn) {
    Packet p{lead, letter::touch};
    putLe16(&p[at::touchX], x);
    putLe16(&p[at::touchY], y);
    return p;
}

TEST(PanelBridge, ReportsFromTheLine) {
    using namespace std::chrono_literals;
    const Packet other{kLeadIn, 'A'};
    struct Case {
        const char* what;
        std::function<void(ScriptedLine&)> script;
        const char* expected;
        Bridged::Kind end;
    };
    const Case cases[] = {
        {"a report framed late: its release counts from its last byte",
         [&](ScriptedLine& l) {
             // The line was busy when it was opened: where the report begins shows only
             // once the lead-ins of two more packets have come.
             Bytes bytes = {0x12, 0x34, 0x56};
             const Bytes more = bytesOf({touchAt(10, 20), other, other});
             bytes.insert(bytes.end(), more.begin(), more.end());
             l.paced(0ms, bytes);
             l.hangUp(400ms);
         },
         " @33 down x10 y80 @112 up", Bridged::gone},
        {"moves, a foreign packet and a cut one passed over, the line gone mid-touch",
         [&](ScriptedLine& l) {
             l.at(100ms, bytesOf({touchAt(10, 20)}));
             l.paced(120ms, bytesOf({other, touchAt(90, 90, 0), touchAt(11, 20)}));
             l.hangUp(160ms, EIO);
         },
         " @100 down x10 y80 @150 x11 @160 up", Bridged::gone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine line;
        LineLog log(line);
        Transport t(line, Framer::kQuietUart);
        c.script(line);
        BridgeSetup setup;
        setup.releaseAfter = 100ms;
        const Bridged b = runPanelBridge(t, log, TouchMapping({0, 100}, {100, 0}, {}), setup);
        EXPECT_EQ(log.log, c.expected);
        EXPECT_EQ(b.kind, c.end);
    }
}

}  // namespace
