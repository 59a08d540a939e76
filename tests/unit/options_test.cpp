// SPDX-License-Identifier: MIT
// Command lines into Options, or into the exact complaints on standard error.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "main.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string kTry = "Try 'tavrinset --help' for more information.\n";

// Every field, so that a case fails on anything it did not expect to change.
std::string show(const Options& o) {
    std::ostringstream s;
    for (int a : {X, Y}) {
        s << "scaling[" << a << "]=" << o.scaling[a].low << ".." << o.scaling[a].high
          << (o.scalingGiven[a] ? " given" : "") << "\n";
        s << "calibration[" << a << "]=" << o.calibration[a].low << ".." << o.calibration[a].high
          << (o.calibrationGiven[a] ? " given" : "") << "\n";
    }
    s << "filter=" << int{o.filter.slen} << "," << int{o.filter.deviation} << ","
      << int{o.filter.states} << " mask=" << o.filterMask << "\n";
    s << "report=" << int{o.report.untouch} << "," << int{o.report.repeat}
      << " mask=" << o.reportMask << "\n";
    s << std::hex << "mode=" << int{o.mode.reportFlags} << "," << int{o.mode.processFlags}
      << (o.modeGiven ? " given" : "") << std::dec << "\n";
    s << "diagnostics=" << o.diagnostics << " raw=" << o.raw << " dump=" << o.dump << "\n";
    s << "device=" << o.device << " show=" << o.show << " verify=" << o.verify << " json=" << o.json
      << "\n";
    s << "calibrate=" << o.calibrate << " samples=" << o.guided.samples
      << " misclick=" << o.guided.misclick << " touchTimeout=" << o.guided.touchTimeoutS
      << " dryRun=" << o.guided.dryRun << "\n";
    const BridgeRequest& b = o.bridge;
    s << "bridge=" << b.wanted << " print=" << b.print << " size=" << b.size.width << ","
      << b.size.height << " swap=" << b.orientation.swapXY << " invert=" << b.orientation.invertX
      << b.orientation.invertY << " release=" << b.releaseAfterMs << "\n";
    return s.str();
}

struct Result {
    Parsed parsed;
    Options opts;
    std::string out;
    std::string err;
};

Result parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tavrinset");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Result r{};
    CaptureStdout();
    CaptureStderr();
    r.parsed = parseOptions(static_cast<int>(args.size()), argv.data(), r.opts);
    r.err = GetCapturedStderr();
    r.out = GetCapturedStdout();
    return r;
}

struct Good {
    std::vector<std::string> args;
    std::function<void(Options&)> expect;
};

void runGood(std::span<const Good> cases) {
    for (const Good& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Result r = parse(c.args);
        Options want;
        c.expect(want);
        EXPECT_EQ(r.parsed, Parsed::run);
        EXPECT_EQ(show(r.opts), show(want));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
    }
}

TEST(ParseOptions, AcceptedCommandLines) {
    const Good cases[] = {
        {{"-w", "800", "--height", "600"},
         [](Options& o) {
             o.scaling[X].high = 800, o.scalingGiven[X] = true;
             o.scaling[Y].high = 600, o.scalingGiven[Y] = true;
         }},
        {{"--width=100", "-w", "+200"},
         [](Options& o) { o.scaling[X].high = 200, o.scalingGiven[X] = true; }},
        // Any 16-bit pattern: 65535 and -1 both send ff ff.
        {{"-w", "65535", "-h", "-1"},
         [](Options& o) {
             o.scaling[X].high = -1, o.scalingGiven[X] = true;
             o.scaling[Y].high = -1, o.scalingGiven[Y] = true;
         }},
        {{"--xlow", "-32768", "-X", "32768", "-Y", "900", "-y", "150"},
         [](Options& o) {
             o.calibration[X] = {-32768, -32768}, o.calibrationGiven[X] = true;
             o.calibration[Y] = {150, 900}, o.calibrationGiven[Y] = true;
         }},
        {{"-s", "0", "--deviation", "255", "-S", "3"},
         [](Options& o) {
             o.filter = {0, 255, 3}, o.filterMask = 7;
         }},
        {{"-u", "5"}, [](Options& o) { o.report.untouch = 5, o.reportMask = 1; }},
        {{"--repeat", "255", "--untouch", "0"},
         [](Options& o) {
             o.report = {0, 255}, o.reportMask = 3;
         }},
        {{"-r", "2147483647"}, [](Options& o) { o.raw = 2147483647; }},
        {{"--raw", "-2147483648"}, [](Options& o) { o.raw = -2147483647 - 1; }},
        {{"-r", "0", "-D", "--dump"}, [](Options& o) { o.diagnostics = o.dump = true; }},
        // The last one counts; an empty path is for the open to refuse, like any other.
        {{"--device", "/dev/ttyS0", "--device=/dev/ttyUSB1"},
         [](Options& o) { o.device = "/dev/ttyUSB1"; }},
        {{"--device", ""}, [](Options& o) { o.device = ""; }},
        {{"--device", "-w"}, [](Options& o) { o.device = "-w"; }},
        {{"--show", "--verify", "--json"}, [](Options& o) { o.show = o.verify = o.json = true; }},
        // The shortest abbreviations that still name one option each.
        {{"--devia", "4", "--devic", "/dev/x", "--veri"},
         [](Options& o) {
             o.filter.deviation = 4, o.filterMask = 2, o.device = "/dev/x";
             o.verify = true;
         }},
        // Guided calibration.
        {{"--calibrate", "--samples", "1", "--misclick", "0", "--touch-timeout", "1"},
         [](Options& o) {
             o.calibrate = true;
             o.guided.samples = 1, o.guided.misclick = 0, o.guided.touchTimeoutS = 1;
         }},
        {{"--samples=9", "--misclick=65535", "--touch-timeout=3600", "--calibrate"},
         [](Options& o) {
             o.calibrate = true;
             o.guided.samples = 9, o.guided.misclick = 65535, o.guided.touchTimeoutS = 3600;
         }},
        // --raw 0 is no dump, so nothing fights the calibration.
        {{"--calibrate", "--raw", "0"}, [](Options& o) { o.calibrate = true; }},
        // The bound is on the value, not on the number of digits.
        {{"--slen", "000000000000000000000000000000255", "--raw",
          "-000000000000000000000000000002147483648"},
         [](Options& o) { o.filter.slen = 255, o.filterMask = 1, o.raw = INT32_MIN; }},
        {{"--calib", "--dry", "--sam", "2", "--mis", "5", "--touch", "7"},
         [](Options& o) {
             o.calibrate = o.guided.dryRun = true;
             o.guided.samples = 2, o.guided.misclick = 5, o.guided.touchTimeoutS = 7;
         }},
    };
    runGood(cases);
}

struct ModeCase {
    std::vector<std::string> args;
    int reportFlags;
    int processFlags;
};

TEST(ParseOptions, ModeKeywordLists) {
    const ModeCase cases[] = {
        {{"--mode", "touch,scale"}, 0x01, 0x08},
        {{"-m", "stream,untouch,trim,calib,tracking"}, 0x06, 0x46},
        {{"--mode", "default"}, 0x07, 0x4e},
        // The words the usage text shows for touch and scale.
        {{"--mode", "initial"}, 0x01, 0x00},
        {{"--mode", "scaling"}, 0x00, 0x08},
        // Prefixes of the item, first keyword in order wins.
        {{"--mode", "calibrate,touchy"}, 0x01, 0x04},
        {{"--mode", "tracking,trimmed"}, 0x00, 0x42},
        // "default" ends its own list, so what follows is never looked at.
        {{"--mode", "stream,default,nonsense"}, 0x07, 0x4e},
        {{"--mode", ",stream,,"}, 0x02, 0x00},
        {{"--mode", "touch,stream", "--mode", "calib"}, 0x03, 0x04},
        {{"-m", "default", "-m", "scale"}, 0x07, 0x4e},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Result r = parse(c.args);
        Options want;
        want.modeGiven = true;
        want.mode.reportFlags = static_cast<std::uint8_t>(c.reportFlags);
        want.mode.processFlags = static_cast<std::uint8_t>(c.processFlags);
        EXPECT_EQ(r.parsed, Parsed::run);
        EXPECT_EQ(show(r.opts), show(want));
        EXPECT_EQ(r.err, "");
    }
}

struct Bad {
    std::vector<std::string> args;
    std::string err;  // before the closing hint
};

TEST(ParseOptions, RejectedCommandLines) {
    const std::string kModes =
        " (valid: default, touch, stream, untouch, calib, trim, scale, tracking, initial, "
        "scaling)\n";
    const Bad cases[] = {
        {{"-w", "80x"}, "tavrinset: invalid value '80x' for -w\n"},
        {{"--width="}, "tavrinset: invalid value '' for --width\n"},
        {{"-h", " 5"}, "tavrinset: invalid value ' 5' for -h\n"},
        {{"--xhigh", "65536"}, "tavrinset: invalid value '65536' for --xhigh\n"},
        {{"--ylow", "-32769"}, "tavrinset: invalid value '-32769' for --ylow\n"},
        // Past 2^64 a number without a bound on the way wraps round into the range.
        {{"--slen", "18446744073709551621"},
         "tavrinset: invalid value '18446744073709551621' for --slen\n"},
        {{"--xlow", "-18446744073709551617"},
         "tavrinset: invalid value '-18446744073709551617' for --xlow\n"},
        {{"--raw", "36893488147419103231"},
         "tavrinset: invalid value '36893488147419103231' for --raw\n"},
        {{"--slen", "256"}, "tavrinset: invalid value '256' for --slen\n"},
        {{"-d", "-1"}, "tavrinset: invalid value '-1' for -d\n"},
        {{"-r", "2147483648"}, "tavrinset: invalid value '2147483648' for -r\n"},
        {{"-r", "-2147483649"}, "tavrinset: invalid value '-2147483649' for -r\n"},
        {{"-H"}, "tavrinset: invalid option -- 'H'\n"},
        {{"--widht", "800"},
         "tavrinset: unrecognized option '--widht'\ntavrinset: unexpected argument '800'\n"},
        {{"--devi", "4"},
         "tavrinset: option '--devi' is ambiguous; possibilities: '--deviation' '--device'\n"
         "tavrinset: unexpected argument '4'\n"},
        {{"--device"}, "tavrinset: option '--device' requires an argument\n"},
        {{"--show=yes"}, "tavrinset: option '--show' doesn't allow an argument\n"},
        {{"-w"}, "tavrinset: option requires an argument -- 'w'\n"},
        {{"a", "-w", "1", "b"},
         "tavrinset: unexpected argument 'a'\ntavrinset: unexpected argument 'b'\n"},
        {{"--mode", ""}, "tavrinset: no mode keyword in '' for --mode\n"},
        {{"--mode", "touch,bogus"}, "tavrinset: invalid mode 'bogus' for --mode" + kModes},
        {{"-m", "bogus,default"}, "tavrinset: invalid mode 'bogus' for -m" + kModes},
        // Parsing goes on over the whole line, reporting each fault.
        {{"--width", "abc", "-s", "300", "-Q"},
         "tavrinset: invalid value 'abc' for --width\n"
         "tavrinset: invalid value '300' for -s\n"
         "tavrinset: invalid option -- 'Q'\n"},
        // Guided calibration.
        {{"--calibrate", "--samples", "0"}, "tavrinset: invalid value '0' for --samples\n"},
        {{"--calibrate", "--samples", "10"}, "tavrinset: invalid value '10' for --samples\n"},
        {{"--calibrate", "--misclick", "-1"}, "tavrinset: invalid value '-1' for --misclick\n"},
        {{"--calibrate", "--touch-timeout", "0"},
         "tavrinset: invalid value '0' for --touch-timeout\n"},
        {{"--calibrate", "--touch-timeout", "3601"},
         "tavrinset: invalid value '3601' for --touch-timeout\n"},
        // Tuning without a calibration would be silently ignored.
        {{"--samples", "3"}, "tavrinset: --samples needs --calibrate\n"},
        {{"-w", "800", "--misclick", "20", "--dry-run"},
         "tavrinset: --misclick needs --calibrate\n"
         "tavrinset: -w cannot be used with --dry-run, which sends nothing\n"},
        {{"--touch-timeout", "5"}, "tavrinset: --touch-timeout needs --calibrate\n"},
        {{"--dry-run", "--show"}, "tavrinset: --dry-run needs --calibrate\n"},
        // Two sources for one setting, or two uses of raw reporting.
        {{"--raw", "-1", "--calibrate"}, "tavrinset: --calibrate cannot be used with --raw\n"},
        {{"--raw", "3", "--calibrate", "--raw", "0", "-r", "2"},
         "tavrinset: --calibrate cannot be used with -r\n"},
        {{"--calibrate", "-Y", "900", "--xlow", "3"},
         "tavrinset: --calibrate cannot be used with -Y: it measures the calibration itself\n"},
        // A dry run sends nothing at all, not even the settings it is given along with it.
        {{"--calibrate", "--dry-run", "--mode", "touch", "-w", "800"},
         "tavrinset: --mode cannot be used with --dry-run, which sends nothing\n"},
        // Every fault on the line is reported, values before combinations.
        {{"--calibrate", "--samples", "12", "-r", "1", "-x", "5"},
         "tavrinset: invalid value '12' for --samples\n"
         "tavrinset: --calibrate cannot be used with -r\n"
         "tavrinset: --calibrate cannot be used with -x: it measures the calibration itself\n"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Result r = parse(c.args);
        EXPECT_EQ(r.parsed, Parsed::error);
        EXPECT_EQ(r.err, c.err + kTry);
        EXPECT_EQ(r.out, "");
    }
}

// The bridge: every range source it can map by, and the edges of its numbers.
TEST(ParseOptions, Bridge) {
    const auto sized = [](Options& o) {
        o.scaling[X].high = 800, o.scaling[Y].high = 600;
        o.scalingGiven[X] = o.scalingGiven[Y] = true;
    };
    const Good good[] = {
        {{"--bridge", "-w", "800", "-h", "600"},
         [&](Options& o) { sized(o), o.bridge.wanted = true; }},
        {{"--print-events", "--size-mm", "1,10000", "--swap-xy", "--invert-x", "--invert-y",
          "--release-after", "1", "-w", "800", "-h", "600"},
         [&](Options& o) {
             sized(o);
             o.bridge = {true, true, {1, 10000}, {true, true, true}, 1};
         }},
        {{"--bridge", "--release-after", "10000", "-x", "1", "-Y", "2", "--mode", "stream"},
         [](Options& o) {
             o.bridge.wanted = true, o.bridge.releaseAfterMs = 10000;
             o.calibration[X].low = 1, o.calibration[Y].high = 2;
             o.calibrationGiven[X] = o.calibrationGiven[Y] = true;
             o.mode.reportFlags = 2, o.modeGiven = true;
         }},
        {{"--bridge", "--calibrate"}, [](Options& o) { o.bridge.wanted = o.calibrate = true; }},
    };
    runGood(good);
    const std::string kRanges =
        "tavrinset: the bridge needs the range of the touch reports: --width and --height (the "
        "controller scaling), or --xlow, --xhigh, --ylow and --yhigh (or --calibrate)\n";
    const Bad bad[] = {
        {{"--bridge", "-w", "800"}, kRanges},
        {{"--print-events", "-x", "1", "-X", "2", "-w", "8"}, kRanges},
        {{"--bridge", "-w", "8", "-h", "6", "-m", "touch,scale"},
         "tavrinset: the bridge needs reports while the finger is down: add stream to --mode\n"},
        {{"--bridge", "-w", "8", "-h", "6", "-m", "stream"},
         "tavrinset: the controller does not scale its reports (no scale in its mode): the "
         "bridge needs the calibration range, --xlow, --xhigh, --ylow and --yhigh (or "
         "--calibrate), or scale in --mode with --width and --height\n"},
        {{"--bridge", "-x", "1", "-y", "1", "-m", "default"},
         "tavrinset: the controller scales its reports (scale in its mode): the bridge needs the "
         "screen size, --width and --height\n"},
        {{"--bridge", "-w", "0", "-h", "6", "-m", "default"},
         "tavrinset: the bridge needs a range of more than one value on each axis: both ends of "
         "an axis are the same\n"},
        {{"--bridge", "--size-mm", "0,5", "--release-after", "0", "-w", "8", "-h", "6"},
         "tavrinset: invalid value '0,5' for --size-mm (W,H in millimetres)\n"
         "tavrinset: invalid value '0' for --release-after\n"},
        {{"--bridge", "--size-mm", "5", "--release-after", "10001", "-w", "8", "-h", "6"},
         "tavrinset: invalid value '5' for --size-mm (W,H in millimetres)\n"
         "tavrinset: invalid value '10001' for --release-after\n"},
        {{"--bridge", "--size-mm", "5,0", "-w", "8", "-h", "6"},
         "tavrinset: invalid value '5,0' for --size-mm (W,H in millimetres)\n"},
        {{"--invert-y", "--swap-xy"}, "tavrinset: --invert-y needs --bridge or --print-events\n"},
        {{"--print-events", "-r", "2", "-w", "8", "-h", "6"},
         "tavrinset: --print-events cannot be used with -r\n"},
        {{"--bridge", "--calibrate", "--dry-run"},
         "tavrinset: --bridge cannot be used with --dry-run: the calibration it maps by is not "
         "sent\n"},
    };
    for (const Bad& c : bad) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Result r = parse(c.args);
        EXPECT_EQ(r.parsed, Parsed::error);
        EXPECT_EQ(r.err, c.err + kTry);
    }
}

// The usage text as scripts and documentation have always quoted it, odd words and all.
const char* const kOriginalUsage =
    "tavrinset - Tavrin touchscreen configuration utility\n\n"
    "Scaling: Adjust input from touchscreen to screen size\n"
    "  --width  val |-w val\tPixel width of the display\n"
    "  --height val |-h val\tPixel height of the display\n"
    "\nCalibration: Adjust range of available raw coordinates (0-4096)\n"
    "  --xlow  val | -x val\tRaw x coordinate of the left side.\n"
    "  --xhigh val | -X val\tRaw x coordinate of the right side.\n"
    "  --ylow  val | -y val\tRaw x coordinate of the bottom side.\n"
    "  --yhigh val | -Y val\tRaw x coordinate of the top side.\n"
    "  --raw   val | -r val\tDump raw coordinates val times.\n"
    "\nFiltering: Adjust filtering parameters for accepting a (un)touch (1-255)\n"
    "  --slen val      | -s val\tSet the sample count for a touch\n"
    "  --deviation val | -d val\tSet the accepted deviation\n"
    "  --states val    | -S val\tSet the number of valid detections for state\n"
    "\nReporting: Adjust reporting parameters\n"
    "  --untouch val | -u val\tSet the delay before untouch (0-15)\n"
    "  --repeat val  | -R val\tSet the delay before repeating touch (0-255)\n"
    "  --mode {initial,stream,untouch,trim,calib,scaling,default}\n"
    "      touch    - Report initial press\n"
    "      stream   - Report touches while pressed\n"
    "      untouch  - Report untouch\n"
    "      calib    - Adjust  coordinates according to calibration values\n"
    "      trim     - Trim the coordinates according to calibration values\n"
    "      scale    - Scale the touch coordinates to screen coordinates\n"
    "      tracking - No transmit touches that repeat at the same position\n"
    "      default  - Use all previous options\n"
    "\nDiagnostics: Verify the operation of the device\n"
    "  --diagnostics | -D \tRun self diagnostics.\n"
    "  --dump | -p \t\tDump transferred packets.\n";

TEST(ParseOptions, UsageKeepsItsLinesAndListsEveryOptionAdded) {
    CaptureStdout();
    usage();
    const std::string text = GetCapturedStdout();
    ASSERT_TRUE(text.starts_with(kOriginalUsage));
    const std::string added = text.substr(std::string(kOriginalUsage).size());
    // Every option the original lines do not name has a line of its own, "  --name ...".
    for (const option& o : longOptionTable()) {
        const std::string name = std::string("--") + o.name;
        if (std::string(kOriginalUsage).find(name + " ") != std::string::npos) {
            continue;
        }
        SCOPED_TRACE(name);
        const std::string line = "\n  " + name + (o.has_arg == no_argument ? " \t" : " ");
        EXPECT_NE(("\n" + added).find(line), std::string::npos) << added;
    }
}

TEST(ParseOptions, HelpWhereverItStandsPrintsUsageOnly) {
    CaptureStdout();
    usage();
    const std::string text = GetCapturedStdout();

    const std::vector<std::string> lines[] = {
        {"--help"},
        {"--hel"},
        {"--help", "-w", "abc", "stray"},
        {"--mode", "touch", "--help", "--mode", "bogus"},
    };
    for (const auto& args : lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        Result r = parse(args);
        EXPECT_EQ(r.parsed, Parsed::help);
        EXPECT_EQ(r.out, text);
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace
