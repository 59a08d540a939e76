// SPDX-License-Identifier: MIT
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

Options options;

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

}  // namespace

GivenAxes givenAxes(const Options& opts, const calib::Bounds* measured) {
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

namespace {

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
