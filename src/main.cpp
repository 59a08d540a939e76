// SPDX-License-Identifier: MIT
#include "main.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "calibrate.h"
#include "diagnostics.h"
#include "io.h"
#include "output.h"
#include "panelbridge.h"
#include "rawdump.h"
#include "readback.h"
#include "transport.h"

void usage() {
    std::printf("tavrinset - Tavrin touchscreen configuration utility\n\n");
    std::printf("Scaling: Adjust input from touchscreen to screen size\n");
    std::printf("  --width  val |-w val\tPixel width of the display\n");
    std::printf("  --height val |-h val\tPixel height of the display\n");
    std::printf("\nCalibration: Adjust range of available raw coordinates (0-4096)\n");
    std::printf("  --xlow  val | -x val\tRaw x coordinate of the left side.\n");
    std::printf("  --xhigh val | -X val\tRaw x coordinate of the right side.\n");
    std::printf("  --ylow  val | -y val\tRaw x coordinate of the bottom side.\n");
    std::printf("  --yhigh val | -Y val\tRaw x coordinate of the top side.\n");
    std::printf("  --raw   val | -r val\tDump raw coordinates val times.\n");
    std::printf("\nFiltering: Adjust filtering parameters for accepting a (un)touch (1-255)\n");
    std::printf("  --slen val      | -s val\tSet the sample count for a touch\n");
    std::printf("  --deviation val | -d val\tSet the accepted deviation\n");
    std::printf("  --states val    | -S val\tSet the number of valid detections for state\n");
    std::printf("\nReporting: Adjust reporting parameters\n");
    std::printf("  --untouch val | -u val\tSet the delay before untouch (0-15)\n");
    std::printf("  --repeat val  | -R val\tSet the delay before repeating touch (0-255)\n");
    std::printf("  --mode {initial,stream,untouch,trim,calib,scaling,default}\n");
    std::printf("      touch    - Report initial press\n");
    std::printf("      stream   - Report touches while pressed\n");
    std::printf("      untouch  - Report untouch\n");
    std::printf("      calib    - Adjust  coordinates according to calibration values\n");
    std::printf("      trim     - Trim the coordinates according to calibration values\n");
    std::printf("      scale    - Scale the touch coordinates to screen coordinates\n");
    std::printf("      tracking - No transmit touches that repeat at the same position\n");
    std::printf("      default  - Use all previous options\n");
    std::printf("\nDiagnostics: Verify the operation of the device\n");
    std::printf("  --diagnostics | -D \tRun self diagnostics.\n");
    std::printf("  --dump | -p \t\tDump transferred packets.\n");
    std::printf("\nGuided calibration: Touch the corners of the screen, send what they measure\n");
    std::printf("  --calibrate \t\tAsk for touches at each corner, check them, send the range.\n");
    std::printf("  --samples n \t\tTouches per corner (1-9, default 3).\n");
    std::printf("  --misclick counts \tDrop touches farther from the others (default 80).\n");
    std::printf("  --touch-timeout s \tSeconds to wait for each touch (1-3600, default 30).\n");
    std::printf("  --dry-run \t\tMeasure and print the calibration, send nothing.\n");
    std::printf("\nOperation: Choose the device, check the result, output for scripts\n");
    std::printf("  --device path \tOpen path instead of /dev/tpanel.\n");
    std::printf("  --verify \t\tRead back what was set, fail on a difference.\n");
    std::printf("  --show \t\tPrint the filter, report and mode settings held.\n");
    std::printf("  --json \t\tPrint results as JSON, one object per line.\n");
    std::printf("  --help \t\tPrint this text.\n");
    std::printf("  --version \t\tPrint the version.\n");
    std::printf("  --export \t\tPrint those settings as options that set them again.\n");
    std::printf("  --timeout ms \t\tReply wait in milliseconds (100-60000, default 2000).\n");
    std::printf("\nBridge: Feed the touches to Linux as a touchscreen, after the settings\n");
    std::printf("  --bridge \t\tMake an input device through /dev/uinput, run until stopped.\n");
    std::printf("  --print-events \tPrint the events on standard output instead.\n");
    std::printf("  --size-mm W,H \tScreen size in millimetres (1-%d).\n", kMaxSizeMm);
    std::printf("  --swap-xy \t\tSwap the X and Y axes.\n");
    std::printf("  --invert-x \t\tMirror the X axis.\n");
    std::printf("  --invert-y \t\tMirror the Y axis.\n");
    std::printf("  --release-after ms \tRelease after no report for this long (1-%d).\n",
                kMaxReleaseAfterMs);
}

namespace {

constexpr const char* kShortOptions = "w:h:x:X:y:Y:s:d:S:Dpr:u:R:m:";
// Long options without a short form.
enum : int {
    kVersionCode = 0x100,
    kDeviceCode,
    kShowCode,
    kVerifyCode,
    kJsonCode,
    kCalibrateCode,
    kSamplesCode,
    kMisclickCode,
    kTouchTimeoutCode,
    kDryRunCode,
    kExportCode,
    kTimeoutCode,
    kBridgeCode,
    kPrintEventsCode,
    kSizeMmCode,
    kSwapXyCode,
    kInvertXCode,
    kInvertYCode,
    kReleaseAfterCode,
};

const option kLongOptions[] = {
    {"width", required_argument, nullptr, 'w'},
    {"height", required_argument, nullptr, 'h'},
    {"xlow", required_argument, nullptr, 'x'},
    {"xhigh", required_argument, nullptr, 'X'},
    {"ylow", required_argument, nullptr, 'y'},
    {"yhigh", required_argument, nullptr, 'Y'},
    {"raw", required_argument, nullptr, 'r'},
    {"slen", required_argument, nullptr, 's'},
    {"deviation", required_argument, nullptr, 'd'},
    {"states", required_argument, nullptr, 'S'},
    {"diagnostics", no_argument, nullptr, 'D'},
    {"dump", no_argument, nullptr, 'p'},
    {"untouch", required_argument, nullptr, 'u'},
    {"repeat", required_argument, nullptr, 'R'},
    {"mode", required_argument, nullptr, 'm'},
    {"help", no_argument, nullptr, 'H'},
    {"version", no_argument, nullptr, kVersionCode},
    {"device", required_argument, nullptr, kDeviceCode},
    {"show", no_argument, nullptr, kShowCode},
    {"verify", no_argument, nullptr, kVerifyCode},
    {"json", no_argument, nullptr, kJsonCode},
    {"calibrate", no_argument, nullptr, kCalibrateCode},
    {"samples", required_argument, nullptr, kSamplesCode},
    {"misclick", required_argument, nullptr, kMisclickCode},
    {"touch-timeout", required_argument, nullptr, kTouchTimeoutCode},
    {"dry-run", no_argument, nullptr, kDryRunCode},
    {"export", no_argument, nullptr, kExportCode},
    {"timeout", required_argument, nullptr, kTimeoutCode},
    {"bridge", no_argument, nullptr, kBridgeCode},
    {"print-events", no_argument, nullptr, kPrintEventsCode},
    {"size-mm", required_argument, nullptr, kSizeMmCode},
    {"swap-xy", no_argument, nullptr, kSwapXyCode},
    {"invert-x", no_argument, nullptr, kInvertXCode},
    {"invert-y", no_argument, nullptr, kInvertYCode},
    {"release-after", required_argument, nullptr, kReleaseAfterCode},
    {nullptr, 0, nullptr, 0},
};

// Whole decimal number: an optional sign, then digits, nothing else.
bool parseNumber(const char* text, long min, long max, long& value) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    long v = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        v = v * 10 + (*p - '0');
        if (v > max + 1L && v > -min) {
            return false;  // far outside every range; stop before it can overflow
        }
    }
    value = negative ? -v : v;
    return value >= min && value <= max;
}

// The ranges this run sends, as the bridge needs them. Before the run, --calibrate stands for
// the calibration it will measure; after it, measured holds what it sent, if anything.
GivenAxes givenAxes(const Options& opts, const calib::Bounds* measured = nullptr) {
    GivenAxes g;
    for (int axis : {X, Y}) {
        if (opts.scalingGiven[axis]) {
            g.scaling[axis] = opts.scaling[axis];
        }
        if (opts.calibrationGiven[axis]) {
            g.calibration[axis] = opts.calibration[axis];
        }
    }
    g.measured = opts.calibrate && measured == nullptr;
    if (measured != nullptr) {
        const auto bound = [](std::int32_t v) { return static_cast<std::int16_t>(v); };
        g.calibration[X] = AxisRange{bound(measured->xlow), bound(measured->xhigh)};
        g.calibration[Y] = AxisRange{bound(measured->ylow), bound(measured->yhigh)};
    }
    return g;
}

class Parser {
  public:
    explicit Parser(Options& opts) : opts_(opts) {}

    bool failed() const { return failed_; }

    void apply(int code, const char* name, const char* arg) {
        switch (code) {
            case 'w':
            case 'h': {
                const int axis = code == 'w' ? X : Y;
                setRange(opts_.scaling[axis], &AxisRange::high, name, arg,
                         opts_.scalingGiven[axis]);
                opts_.scaling[axis].low = 0;
                noteFirst(setting_, name);
                break;
            }
            case 'x':
            case 'X':
            case 'y':
            case 'Y': {
                // Lower case names the low bound, upper case the high one.
                const int axis = code == 'x' || code == 'X' ? X : Y;
                const bool low = code == 'x' || code == 'y';
                setRange(opts_.calibration[axis], low ? &AxisRange::low : &AxisRange::high, name,
                         arg, opts_.calibrationGiven[axis]);
                noteFirst(bound_, name);
                break;
            }
            case 'r': {
                long v = 0;
                if (number(name, arg, INT32_MIN, INT32_MAX, v)) {
                    opts_.raw = static_cast<std::int32_t>(v);
                }
                raw_ = name;  // the last one counts, as for the count
                break;
            }
            case 's':
                noteFirst(setting_, name);
                setByte(opts_.filter.slen, opts_.filterMask, filterBit::slen, name, arg);
                break;
            case 'd':
                noteFirst(setting_, name);
                setByte(opts_.filter.deviation, opts_.filterMask, filterBit::deviation, name, arg);
                break;
            case 'S':
                noteFirst(setting_, name);
                setByte(opts_.filter.states, opts_.filterMask, filterBit::states, name, arg);
                break;
            case 'u':
                noteFirst(setting_, name);
                setByte(opts_.report.untouch, opts_.reportMask, reportBit::untouch, name, arg);
                break;
            case 'R':
                noteFirst(setting_, name);
                setByte(opts_.report.repeat, opts_.reportMask, reportBit::repeat, name, arg);
                break;
            case 'D':
                opts_.diagnostics = true;
                break;
            case 'p':
                opts_.dump = true;
                break;
            case 'm':
                noteFirst(setting_, name);
                parseMode(name, arg);
                break;
            case kDeviceCode:
                // Not checked here: opening it says what is wrong, as for the default path.
                opts_.device = arg;
                break;
            case kShowCode:
                opts_.show = true;
                break;
            case kVerifyCode:
                opts_.verify = true;
                break;
            case kJsonCode:
                opts_.json = true;
                break;
            case kCalibrateCode:
                opts_.calibrate = true;
                break;
            case kSamplesCode: {
                long v = 0;
                if (number(name, arg, calib::kMinSamples, calib::kMaxSamples, v)) {
                    opts_.guided.samples = static_cast<int>(v);
                }
                noteFirst(tuning_, name);
                break;
            }
            case kMisclickCode: {
                long v = 0;
                if (number(name, arg, 0, 65535, v)) {
                    opts_.guided.misclick = static_cast<std::int32_t>(v);
                }
                noteFirst(tuning_, name);
                break;
            }
            case kTouchTimeoutCode: {
                long v = 0;
                if (number(name, arg, 1, kMaxTouchTimeoutS, v)) {
                    opts_.guided.touchTimeoutS = static_cast<int>(v);
                }
                noteFirst(tuning_, name);
                break;
            }
            case kDryRunCode:
                opts_.guided.dryRun = true;
                noteFirst(tuning_, name);
                break;
            case kExportCode:
                opts_.exportSettings = true;
                break;
            case kTimeoutCode: {
                long v = 0;
                if (number(name, arg, kMinReplyTimeoutMs, kMaxReplyTimeoutMs, v)) {
                    opts_.replyTimeoutMs = static_cast<int>(v);
                }
                break;
            }
            case kBridgeCode:
            case kPrintEventsCode:
                opts_.bridge.wanted = true;
                opts_.bridge.print = opts_.bridge.print || code == kPrintEventsCode;
                noteFirst(bridge_, name);
                break;
            case kSizeMmCode:
                sizeMm(name, arg);
                noteFirst(bridgeOnly_, name);
                break;
            case kSwapXyCode:
                opts_.bridge.orientation.swapXY = true;
                noteFirst(bridgeOnly_, name);
                break;
            case kInvertXCode:
                opts_.bridge.orientation.invertX = true;
                noteFirst(bridgeOnly_, name);
                break;
            case kInvertYCode:
                opts_.bridge.orientation.invertY = true;
                noteFirst(bridgeOnly_, name);
                break;
            case kReleaseAfterCode: {
                long v = 0;
                if (number(name, arg, 1, kMaxReleaseAfterMs, v)) {
                    opts_.bridge.releaseAfterMs = static_cast<int>(v);
                }
                noteFirst(bridgeOnly_, name);
                break;
            }
            default:
                // getopt_long has already said what was wrong.
                failed_ = true;
                break;
        }
    }

    void operand(const char* word) {
        std::fprintf(stderr, "tavrinset: unexpected argument '%s'\n", word);
        failed_ = true;
    }

    // Options that make no sense together, or alone: each would otherwise be silently
    // ignored, or fight another for the same setting.
    void checkCombinations() {
        if (!opts_.calibrate && !tuning_.empty()) {
            complain(tuning_ + " needs --calibrate");
        }
        if (opts_.calibrate && opts_.raw != 0) {
            complain("--calibrate cannot be used with " + raw_);
        }
        if (opts_.calibrate && !bound_.empty()) {
            complain("--calibrate cannot be used with " + bound_ +
                     ": it measures the calibration itself");
        }
        if (opts_.guided.dryRun && !setting_.empty()) {
            complain(setting_ + " cannot be used with --dry-run, which sends nothing");
        }
        if (!opts_.bridge.wanted && !bridgeOnly_.empty()) {
            complain(bridgeOnly_ + " needs --bridge or --print-events");
        }
        if (opts_.bridge.wanted && opts_.raw != 0) {
            complain(bridge_ + " cannot be used with " + raw_);
        }
        if (opts_.bridge.wanted && opts_.guided.dryRun) {
            complain(bridge_ +
                     " cannot be used with --dry-run: the calibration it maps by is "
                     "not sent");
        }
        if (opts_.bridge.wanted && opts_.raw == 0 && !opts_.guided.dryRun) {
            // What can be known before the panel is touched: the mode, when this run sends it.
            const std::optional<ModeFlags> mode =
                opts_.modeGiven ? std::optional(opts_.mode) : std::nullopt;
            const BridgeNeed need = bridgeNeeds(mode, givenAxes(opts_));
            if (need != BridgeNeed::nothing) {
                complain(describe(need));
            }
        }
    }

  private:
    static void noteFirst(std::string& first, const char* name) {
        if (first.empty()) {
            first = name;
        }
    }

    void complain(const std::string& what) {
        std::fprintf(stderr, "tavrinset: %s\n", what.c_str());
        failed_ = true;
    }

    bool number(const char* name, const char* arg, long min, long max, long& value) {
        if (parseNumber(arg, min, max, value)) {
            return true;
        }
        std::fprintf(stderr, "tavrinset: invalid value '%s' for %s\n", arg, name);
        failed_ = true;
        return false;
    }

    // Any 16-bit pattern: -1 and 65535 both send ff ff.
    void setRange(AxisRange& range, std::int16_t AxisRange::*bound, const char* name,
                  const char* arg, bool& given) {
        long v = 0;
        if (number(name, arg, -32768, 65535, v)) {
            range.*bound = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
            given = true;
        }
    }

    // W,H: two whole numbers of millimetres.
    void sizeMm(const char* name, const char* arg) {
        const char* comma = std::strchr(arg, ',');
        long w = 0;
        long h = 0;
        if (comma == nullptr || !parseNumber(std::string(arg, comma).c_str(), 1, kMaxSizeMm, w) ||
            !parseNumber(comma + 1, 1, kMaxSizeMm, h)) {
            std::fprintf(stderr, "tavrinset: invalid value '%s' for %s (W,H in millimetres)\n", arg,
                         name);
            failed_ = true;
            return;
        }
        opts_.bridge.size = {static_cast<int>(w), static_cast<int>(h)};
    }

    void setByte(std::uint8_t& field, std::uint32_t& mask, std::uint32_t bit, const char* name,
                 const char* arg) {
        long v = 0;
        if (number(name, arg, 0, 255, v)) {
            field = static_cast<std::uint8_t>(v);
            mask |= bit;
        }
    }

    void parseMode(const char* name, const char* arg) {
        opts_.modeGiven = true;
        bool any = false;
        bool bad = false;
        for (const char* item = arg; item != nullptr;) {
            const char* comma = std::strchr(item, ',');
            std::size_t length =
                comma != nullptr ? static_cast<std::size_t>(comma - item) : std::strlen(item);
            if (length > 0) {
                const ModeKeyword* match = nullptr;
                for (const ModeKeyword& k : kModeKeywords) {
                    if (std::strncmp(item, k.word, std::strlen(k.word)) == 0) {
                        match = &k;
                        break;
                    }
                }
                if (match == nullptr) {
                    std::string word(item, length);
                    std::fprintf(stderr,
                                 "tavrinset: invalid mode '%s' for %s (valid: default, touch, "
                                 "stream, untouch, calib, trim, scale, tracking, initial, "
                                 "scaling)\n",
                                 word.c_str(), name);
                    bad = true;
                } else {
                    any = true;
                    opts_.mode.reportFlags |= match->reportFlags;
                    opts_.mode.processFlags |= match->processFlags;
                    if (match == &kModeKeywords[0]) {
                        break;  // "default" ends the list
                    }
                }
            }
            item = comma != nullptr ? comma + 1 : nullptr;
        }
        if (!any && !bad) {
            std::fprintf(stderr, "tavrinset: no mode keyword in '%s' for %s\n", arg, name);
            bad = true;
        }
        failed_ = failed_ || bad;
    }

    Options& opts_;
    bool failed_ = false;
    // Options as they were written, for the messages of checkCombinations().
    std::string raw_;         // the last --raw
    std::string bound_;       // the first calibration bound
    std::string setting_;     // the first option that sends a setting other than the calibration
    std::string tuning_;      // the first option that only a guided calibration uses
    std::string bridge_;      // the first --bridge or --print-events
    std::string bridgeOnly_;  // the first option that only the bridge uses
};

}  // namespace

std::span<const option> longOptionTable() {
    return {kLongOptions, std::size(kLongOptions) - 1};
}

const char* shortOptionString() {
    return kShortOptions;
}

Parsed parseOptions(int argc, char** argv, Options& opts) {
    Parser parser(opts);
    optind = 0;  // full reset, so that parsing can run more than once in a process
    opterr = 1;
    for (;;) {
        int index = -1;
        int code = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
        if (code == -1) {
            break;
        }
        if (code == 'H') {
            usage();
            return Parsed::help;
        }
        if (code == kVersionCode) {
            std::printf("tavrinset %s\n", TAVRINSET_VERSION);
            return Parsed::version;
        }
        // Name the option the way it was written.
        std::string name;
        if (index >= 0) {
            name = std::string("--") + kLongOptions[index].name;
        } else {
            name = std::string("-") + static_cast<char>(code);
        }
        parser.apply(code, name.c_str(), optarg);
    }
    for (int i = optind; i < argc; ++i) {
        parser.operand(argv[i]);
    }
    parser.checkCombinations();
    if (parser.failed()) {
        std::fputs("Try 'tavrinset --help' for more information.\n", stderr);
        return Parsed::error;
    }
    return Parsed::run;
}

namespace {

int signalStatus(int sig) {
    return 128 + sig;
}

// Prints the options that set the groups held again; false when they cannot say it.
bool exportSettings(const HeldSettings& held) {
    if (!held.complete()) {
        return false;  // the failed query has been reported
    }
    if (modeKeywordList(*held.mode).empty()) {
        // Anything printed instead would set another mode.
        std::fprintf(stderr,
                     "tavrinset: cannot export the mode 0x%02x 0x%02x: no --mode keyword list "
                     "sets it\n",
                     held.mode->reportFlags, held.mode->processFlags);
        return false;
    }
    printExport(held);
    return true;
}

// The bridge, once everything else the run asked for went through; device null when the
// events are printed. Returns the exit status.
int runBridgeStep(Port& port, Transport& t, const Options& opts, UinputSink* device,
                  const calib::Bounds* measured) {
    BridgeSetup setup;
    setup.axes = givenAxes(opts, measured);
    setup.axes.measured = false;
    setup.orientation = opts.bridge.orientation;
    setup.releaseAfter = std::chrono::milliseconds(opts.bridge.releaseAfterMs);
    setup.size = opts.bridge.size;
    Bridged why;
    const std::optional<TouchMapping> mapping = prepareBridge(t, setup, why);
    if (int sig = pendingStop()) {
        return signalStatus(sig);
    }
    if (!mapping) {
        if (why.kind == Bridged::lacking) {
            std::fprintf(stderr, "tavrinset: %s\n", describe(why.need).c_str());
        } else if (!t.dead()) {
            std::fputs(
                "tavrinset: the controller's mode could not be read: the bridge was not "
                "started\n",
                stderr);
        }
        return kStatusExchangeFailed;
    }
    const AbsRange x = mapping->rangeX();
    const AbsRange y = mapping->rangeY();
    TextSink text(stdout, opts.json);
    EventSink* sink = &text;
    if (device != nullptr) {
        if (int err = device->create(opts.device, x, y, opts.bridge.size); err != 0) {
            std::fprintf(stderr, "tavrinset: %s: the input device could not be made: %s\n",
                         kUinputNode, std::strerror(err));
            return kStatusExchangeFailed;
        }
        sink = device;
        const char* node = device->devnode();
        std::fprintf(stderr, "tavrinset: %s is the touchscreen of %s: ABS_X %d..%d, ABS_Y %d..%d\n",
                     node != nullptr ? node : "a new input device", opts.device.c_str(), x.min,
                     x.max, y.min, y.max);
    } else {
        std::fprintf(stderr,
                     "tavrinset: the events of %s follow on standard output: ABS_X %d..%d, "
                     "ABS_Y %d..%d\n",
                     opts.device.c_str(), x.min, x.max, y.min, y.max);
    }
    const Bridged b = runPanelBridge(t, *sink, *mapping, setup);
    // Gone before the line is put back: nothing may read a touchscreen whose panel is let go.
    if (device != nullptr) {
        device->remove();
    }
    if (b.kind == Bridged::gone) {
        report(t, b.status);
        return kStatusExchangeFailed;
    }
    bool ok = true;
    if (b.kind == Bridged::failed) {
        report(t, b.status);
        ok = false;
    }
    int status = kStatusOk;
    if (b.kind == Bridged::sinkFailed && device == nullptr && b.err == EPIPE) {
        // The reader of the printed events is gone, as a pipe into head leaves it.
        status = signalStatus(SIGPIPE);
    } else if (b.kind == Bridged::sinkFailed) {
        std::fprintf(stderr, "tavrinset: %s: %s\n",
                     device != nullptr ? "the input device took no more events" : "write error",
                     std::strerror(b.err));
        ok = false;
    }
    // A stop is the bridge's normal end (systemctl stop, Ctrl-C), unless it was a hang-up or a
    // quit, which say something went wrong.
    const int sig = pendingStop();
    if (sig == SIGHUP || sig == SIGQUIT) {
        status = signalStatus(sig);
    }
    if (!closePanel(port, false)) {
        ok = false;
    }
    if (!ok) {
        return kStatusExchangeFailed;
    }
    return status;
}

// The operations, in their fixed order. Returns the exit status; the port is closed on the
// way out, by closePanel here or by its destructor on the early returns.
int runOperations(Port& port, Transport& t, const Options& opts, UinputSink* device) {
    bool ok = true;
    if (int sig = pendingStop()) {
        return signalStatus(sig);
    }
    if (opts.diagnostics) {
        int result = runDiagnostics(t, 0x0F, ok);
        if (int sig = pendingStop()) {
            return signalStatus(sig);
        }
        if (t.dead()) {
            return kStatusExchangeFailed;
        }
        if (result != 0) {
            std::fputs("Selfdiagnostics failed!\n", stderr);
            return kStatusFatal;
        }
    }
    // The dump runs alone; --show, --verify and --export belong to the setting sequence.
    if (opts.raw != 0) {
        const Dumped dumped = dumpRaw(t, opts.raw);
        if (int sig = pendingStop()) {
            return signalStatus(sig);
        }
        if (dumped == Dumped::readerGone) {
            return kStatusReaderGone;
        }
        return ok && dumped == Dumped::done ? kStatusOk : kStatusExchangeFailed;
    }
    // The calibration measured at the panel goes first, so that one command can set a panel
    // up. When it could not be measured or sent, nothing else is: an operator who sees it
    // fail runs the whole command again, and half a setup would be harder to notice.
    calib::Bounds measured;
    if (opts.calibrate) {
        const Calibrated result = calibrate(t, opts.guided, &measured);
        if (int sig = pendingStop()) {
            return signalStatus(sig);
        }
        if (result == Calibrated::failed || t.dead()) {
            return kStatusExchangeFailed;
        }
        ok = result == Calibrated::sent && ok;
    }
    // A device that is gone ends the run: nothing more is sent, nothing more reported.
    auto step = [&](bool wanted, auto&& operation) {
        if (wanted && pendingStop() == 0 && !t.dead()) {
            ok = operation() == 0 && ok;
        }
    };
    step(opts.scalingGiven[X],
         [&] { return setScaling(t, 'X', opts.scaling[X].low, opts.scaling[X].high); });
    step(opts.scalingGiven[Y],
         [&] { return setScaling(t, 'Y', opts.scaling[Y].low, opts.scaling[Y].high); });
    step(opts.calibrationGiven[X],
         [&] { return setCalibration(t, 'X', opts.calibration[X].low, opts.calibration[X].high); });
    step(opts.calibrationGiven[Y],
         [&] { return setCalibration(t, 'Y', opts.calibration[Y].low, opts.calibration[Y].high); });
    step(opts.filterMask != 0, [&] { return setFilter(t, opts.filter, opts.filterMask); });
    step(opts.reportMask != 0, [&] { return setReport(t, opts.report, opts.reportMask); });
    step(opts.modeGiven, [&] { return setMode(t, opts.mode); });
    if (int sig = pendingStop()) {
        return signalStatus(sig);
    }
    Readback readback(t);
    if (opts.verify && !t.dead()) {
        ok = verifySettings(readback, opts) && ok;
        if (int sig = pendingStop()) {
            return signalStatus(sig);
        }
    }
    // --export reads what --show reads: the same answers serve both.
    if ((opts.show || opts.exportSettings) && !t.dead()) {
        const HeldSettings held = readback.all();
        if (int sig = pendingStop()) {
            return signalStatus(sig);
        }
        ok = held.complete() && ok;
        if (opts.show) {
            printSettings(held);
        }
        if (opts.exportSettings && !t.dead()) {
            ok = exportSettings(held) && ok;
        }
    }
    // A device gone ended the run on its one message: there are no settings left to put back.
    if (t.dead()) {
        return kStatusExchangeFailed;
    }
    if (opts.bridge.wanted) {
        // Settings half made would be a touchscreen that points wrong: the unit tries again.
        if (!ok) {
            std::fputs("tavrinset: the run did not go through: the bridge was not started\n",
                       stderr);
            return kStatusExchangeFailed;
        }
        return runBridgeStep(port, t, opts, device, opts.calibrate ? &measured : nullptr);
    }
    if (!closePanel(port, false)) {
        ok = false;
    }
    return ok ? kStatusOk : kStatusExchangeFailed;
}

}  // namespace

namespace {

// From the open to the close of the port: the line is back when it returns.
int runPanel(const Options& opts) {
    // Before the panel is touched: a bridge with nowhere to put its events would only find
    // out after the settings.
    std::optional<UinputSink> device;
    if (opts.bridge.wanted && !opts.bridge.print) {
        device.emplace();
        if (int err = device->open(); err != 0) {
            std::fprintf(stderr, "tavrinset: %s\n", uinputAdvice(err).c_str());
            return kStatusExchangeFailed;
        }
    }
    StopSignals stopSignals;
    if (int sig = pendingStop()) {
        return signalStatus(sig);
    }
    Port port = openPanel(opts.device.c_str());
    if (!port) {
        return kStatusFatal;
    }
    PortLine line(port.fd());
    if (opts.raw != 0) {
        // A reader of the dump that goes away ends it at once, not at the next touch.
        line.watch(STDOUT_FILENO);
    }
    Transport::Trace trace;
    if (opts.dump) {
        trace = [](const std::string& text) { std::fputs(text.c_str(), stderr); };
    }
    Transport transport(line, port.quiet(), trace, opts.device);
    transport.setReplyTimeout(std::chrono::milliseconds(opts.replyTimeoutMs));
    const int status = runOperations(port, transport, opts, device ? &*device : nullptr);
    // While a closed pipe is still an error to report rather than a signal that kills.
    finishOutput();
    return status;
}

}  // namespace

int runTavrinset(int argc, char** argv) {
    // Whatever we print must never land on the controller's line.
    ensureStandardDescriptors();
    int status = kStatusOk;
    if (argc <= 1) {
        usage();
    } else {
        switch (parseOptions(argc, argv, options)) {
            case Parsed::help:
            case Parsed::version:
                break;
            case Parsed::error:
                return kStatusBadUsage;
            case Parsed::run:
                status = runPanel(options);
                break;
        }
    }
    // Last of all, once the settings are sent and the mode and the line are back: a result
    // that did not reach standard output fails the run. A reader that went away on purpose
    // (head) is no error.
    if (int err = finishOutput(); err != 0 && status != kStatusReaderGone) {
        std::fprintf(stderr, "tavrinset: write error: %s\n", std::strerror(err));
        if (status == kStatusOk) {
            status = kStatusExchangeFailed;
        }
    }
    return status;
}
