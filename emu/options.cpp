// SPDX-License-Identifier: MIT
#include "options.h"

#include <getopt.h>

#include <cstring>
#include <sstream>

#include "main.h"

namespace emu {

namespace {

enum Code {
    kScalingX = 0x100,
    kScalingY,
    kCalibrationX,
    kCalibrationY,
    kFilter,
    kReport,
    kMode,
    kSelfTest,
    kTouch,
    kHold,
    kStroke,
    kStrokeGap,
    kForeign,
    kAfterTouches,
    kFault,
    kPending,
    kPace,
    kAdapter,
    kJson,
    kQuiet,
    kLink,
    kAttach,
    kNoPrivateDev,
    kHelp,
    kVersion,
};

const option kOptions[] = {
    {"scaling-x", required_argument, nullptr, kScalingX},
    {"scaling-y", required_argument, nullptr, kScalingY},
    {"calibration-x", required_argument, nullptr, kCalibrationX},
    {"calibration-y", required_argument, nullptr, kCalibrationY},
    {"filter", required_argument, nullptr, kFilter},
    {"report", required_argument, nullptr, kReport},
    {"mode", required_argument, nullptr, kMode},
    {"selftest-failures", required_argument, nullptr, kSelfTest},
    {"touch", required_argument, nullptr, kTouch},
    {"hold", required_argument, nullptr, kHold},
    {"stroke", required_argument, nullptr, kStroke},
    {"stroke-gap", required_argument, nullptr, kStrokeGap},
    {"foreign", required_argument, nullptr, kForeign},
    {"after-touches", required_argument, nullptr, kAfterTouches},
    {"fault", required_argument, nullptr, kFault},
    {"pending", required_argument, nullptr, kPending},
    {"pace", no_argument, nullptr, kPace},
    {"adapter", required_argument, nullptr, kAdapter},
    {"json", optional_argument, nullptr, kJson},
    {"quiet", no_argument, nullptr, kQuiet},
    {"link", required_argument, nullptr, kLink},
    {"attach", required_argument, nullptr, kAttach},
    {"no-private-dev", no_argument, nullptr, kNoPrivateDev},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// "A,B,C" into exactly n numbers within [min, max].
bool numbers(const char* text, std::size_t n, long min, long max, long* out) {
    std::stringstream in(text);
    std::string item;
    std::size_t i = 0;
    while (std::getline(in, item, ',')) {
        if (i == n || !parseNumber(item, min, max, out[i])) {
            return false;
        }
        ++i;
    }
    return i == n && text[std::strlen(text) - 1] != ',';
}

template <typename T>
T narrow(long v) {
    return static_cast<T>(v);
}

AxisRange range(const long* v) {
    return {narrow<std::int16_t>(narrow<std::uint16_t>(v[0])),
            narrow<std::int16_t>(narrow<std::uint16_t>(v[1]))};
}

class Parser {
  public:
    explicit Parser(EmuOptions& o) : o_(o) {}
    bool failed = false;

    void apply(int code, const char* name, const char* arg) {
        long v[3] = {0, 0, 0};
        std::string error;
        switch (code) {
            case kScalingX:
            case kScalingY:
            case kCalibrationX:
            case kCalibrationY: {
                if (!expect(numbers(arg, 2, -32768, 65535, v), name, arg, "LOW,HIGH")) {
                    break;
                }
                bool scaling = code == kScalingX || code == kScalingY;
                int axis = code == kScalingX || code == kCalibrationX ? X : Y;
                (scaling ? o_.state.scaling : o_.state.calibration)[axis] = range(v);
                break;
            }
            case kFilter:
                if (expect(numbers(arg, 3, 0, 255, v), name, arg, "SLEN,DEVIATION,STATES")) {
                    o_.state.filter = {narrow<std::uint8_t>(v[0]), narrow<std::uint8_t>(v[1]),
                                       narrow<std::uint8_t>(v[2])};
                }
                break;
            case kReport:
                if (expect(numbers(arg, 2, 0, 255, v), name, arg, "UNTOUCH,REPEAT")) {
                    o_.state.report = {narrow<std::uint8_t>(v[0]), narrow<std::uint8_t>(v[1])};
                }
                break;
            case kMode:
                if (expect(numbers(arg, 2, 0, 255, v), name, arg, "REPORTFLAGS,PROCESSFLAGS")) {
                    o_.state.mode = {narrow<std::uint8_t>(v[0]), narrow<std::uint8_t>(v[1])};
                }
                break;
            case kSelfTest:
                if (expect(numbers(arg, 1, 0, 255, v), name, arg, "a mask from 0 to 255")) {
                    o_.state.selfTestFailures = narrow<std::uint8_t>(v[0]);
                }
                break;
            case kTouch:
                if (expect(numbers(arg, 2, 0, 65535, v), name, arg, "X,Y from 0 to 65535")) {
                    o_.touches.push_back(
                        whole(touchReport(narrow<std::uint16_t>(v[0]), narrow<std::uint16_t>(v[1])),
                              "touch"));
                }
                break;
            case kHold:
                if (!hold(arg)) {
                    complain(name, arg,
                             "expected X,Y or X,Y:RATE, X and Y from 0 to 65535, "
                             "RATE from 1 to 96");
                }
                break;
            case kStroke:
                if (!stroke(arg)) {
                    complain(name, arg,
                             "expected X0,Y0:X1,Y1:COUNT or X0,Y0:X1,Y1:COUNT@HZ, coordinates "
                             "from 0 to 65535, COUNT from 1 to 1000000000, HZ from 1 to 10000");
                }
                break;
            case kStrokeGap:
                if (expect(numbers(arg, 1, 0, 600000, v), name, arg, "milliseconds 0-600000")) {
                    o_.strokeGap = std::chrono::milliseconds(v[0]);
                }
                break;
            case kForeign: {
                bool one = std::strlen(arg) == 1 && arg[0] != letter::touch;
                if (expect(one, name, arg, "one character other than T")) {
                    o_.touches.push_back(
                        whole(foreignPacket(static_cast<std::uint8_t>(arg[0])), "foreign"));
                }
                break;
            }
            case kAfterTouches:
                o_.hangupAfterTouches = std::strcmp(arg, "hangup") == 0;
                o_.signalAfterTouches = o_.hangupAfterTouches ? 0 : parseSignal(arg);
                expect(o_.hangupAfterTouches || o_.signalAfterTouches != 0, name, arg,
                       "hangup or a signal such as INT");
                break;
            case kFault:
                if (!o_.faults.add(arg, error)) {
                    complain(name, arg, error.c_str());
                }
                break;
            case kPending:
                if (expect(numbers(arg, 1, 0, 4096, v), name, arg, "a byte count 0-4096")) {
                    o_.pendingBytes = narrow<int>(v[0]);
                }
                break;
            case kPace:
                o_.pace = true;
                break;
            case kAdapter:
                if (!adapter(arg)) {
                    complain(name, arg, "expected uart, usb or usb:MS with MS from 1 to 1000");
                }
                break;
            case kJson:
                o_.report = ReportTo::json;
                o_.jsonFile = arg != nullptr ? arg : "";
                break;
            case kQuiet:
                o_.report = ReportTo::none;
                break;
            case kLink:
                o_.link = arg;
                expect(!o_.link.empty(), name, arg, "a path");
                break;
            case kAttach:
                o_.attach = arg;
                expect(!o_.attach.empty(), name, arg, "a path");
                break;
            case kNoPrivateDev:
                o_.privateDev = false;
                break;
            default:
                failed = true;  // getopt_long has said what
                break;
        }
    }

    // What the options say together; false when they cannot go together, reported.
    bool consistent() {
        auto refuse = [this](const char* why) {
            std::fprintf(stderr, "tpanel-emu: %s\n", why);
            failed = true;
        };
        if (!o_.attach.empty()) {
            if (!o_.command.empty()) {
                refuse("--attach serves the terminal to whatever is at its far end: no command");
            }
            if (!o_.link.empty()) {
                refuse("--attach and --link exclude each other: there is no pty of ours to link");
            }
            if (!o_.privateDev) {
                refuse("--attach runs no command, so --no-private-dev has nothing to do");
            }
        } else if (!o_.privateDev && (o_.command.empty() || o_.link.empty())) {
            refuse("--no-private-dev needs a command and the --link PATH where it finds the line");
        } else if (o_.command.empty() && o_.link.empty()) {
            refuse("no command to run (give -- COMMAND ARGS..., --link PATH or --attach PATH)");
        }
        if (o_.faults.at(0).loopback &&
            (o_.hold.given || !o_.strokes.empty() || !o_.touches.empty())) {
            refuse("--fault loopback leaves no controller to report touches");
        }
        if (o_.hold.given && !o_.strokes.empty()) {
            refuse("--hold and --stroke exclude each other: there is one finger");
        }
        return !failed;
    }

  private:
    // "X,Y" or "X,Y:RATE".
    bool hold(const char* arg) {
        std::string text = arg;
        long rate = 0;
        if (auto colon = text.find(':'); colon != std::string::npos) {
            if (!parseNumber(text.substr(colon + 1), 1, 96, rate)) {
                return false;
            }
            text.resize(colon);
        }
        long v[2] = {0, 0};
        if (!numbers(text.c_str(), 2, 0, 65535, v)) {
            return false;
        }
        const auto x = narrow<std::uint16_t>(v[0]);
        const auto y = narrow<std::uint16_t>(v[1]);
        o_.hold = {true, {x, y, x, y, 0, period(rate)}};
        return true;
    }

    static std::chrono::nanoseconds period(long hz) {
        return hz > 0 ? std::chrono::nanoseconds(std::chrono::seconds(1)) / hz : kLineRatePeriod;
    }

    // "X0,Y0:X1,Y1:COUNT" or "X0,Y0:X1,Y1:COUNT@HZ".
    bool stroke(const char* arg) {
        std::string text = arg;
        long hz = 0;
        if (auto at = text.find('@'); at != std::string::npos) {
            if (!parseNumber(text.substr(at + 1), 1, 10000, hz)) {
                return false;
            }
            text.resize(at);
        }
        std::stringstream in(text);
        std::string from;
        std::string to;
        std::string count;
        std::string rest;
        long a[2] = {0, 0};
        long b[2] = {0, 0};
        long n = 0;
        if (!std::getline(in, from, ':') || !std::getline(in, to, ':') ||
            !std::getline(in, count, ':') || std::getline(in, rest) ||
            !numbers(from.c_str(), 2, 0, 65535, a) || !numbers(to.c_str(), 2, 0, 65535, b) ||
            !parseNumber(count, 1, 1000000000, n)) {
            return false;
        }
        o_.strokes.push_back({narrow<std::uint16_t>(a[0]), narrow<std::uint16_t>(a[1]),
                              narrow<std::uint16_t>(b[0]), narrow<std::uint16_t>(b[1]),
                              static_cast<std::uint64_t>(n), period(hz)});
        return true;
    }

    // "uart", "usb" or "usb:MS".
    bool adapter(const char* arg) {
        const std::string text = arg;
        if (text == "uart") {
            o_.adapter = AdapterSetup{Adapter::uart};
            return true;
        }
        long ms = 16;
        if (text != "usb" &&
            (text.rfind("usb:", 0) != 0 || !parseNumber(text.substr(4), 1, 1000, ms))) {
            return false;
        }
        o_.adapter = {Adapter::usb, std::chrono::milliseconds(ms)};
        return true;
    }

    bool expect(bool ok, const char* name, const char* arg, const char* wanted) {
        if (!ok) {
            complain(name, arg, (std::string("expected ") + wanted).c_str());
        }
        return ok;
    }

    void complain(const char* name, const char* arg, const char* why) {
        std::fprintf(stderr, "tpanel-emu: invalid value '%s' for --%s: %s\n", arg, name, why);
        failed = true;
    }

    EmuOptions& o_;
};

}  // namespace

EmuParsed parseEmuOptions(int argc, char** argv, EmuOptions& o) {
    Parser parser(o);
    optind = 0;
    opterr = 1;
    for (;;) {
        int index = -1;
        // '+': the command's own options are its business, not ours.
        int code = getopt_long(argc, argv, "+", kOptions, &index);
        if (code == -1) {
            break;
        }
        if (code == kHelp) {
            emuUsage(stdout);
            return EmuParsed::help;
        }
        if (code == kVersion) {
            std::printf("tpanel-emu %s\n", TAVRINSET_VERSION);
            return EmuParsed::version;
        }
        parser.apply(code, index >= 0 ? kOptions[index].name : "?", optarg);
    }
    o.command.assign(argv + optind, argv + argc);
    if (parser.failed || !parser.consistent()) {
        std::fputs("Try 'tpanel-emu --help' for more information.\n", stderr);
        return EmuParsed::error;
    }
    return EmuParsed::run;
}

void emuUsage(std::FILE* out) {
    std::fputs(
        R"(Usage: tpanel-emu [OPTION]... -- COMMAND [ARG]...
       tpanel-emu [OPTION]... --link PATH
       tpanel-emu [OPTION]... --attach PATH
Emulates the touchscreen controller at the far end of /dev/tpanel on a pseudo-terminal and
runs COMMAND in a private mount namespace where /dev/tpanel is that terminal. Exits with
COMMAND's status (128+N when it was killed by signal N). At the end it reports every packet
on the line, the line settings and the controller's final state.

Controller state at start (numbers are decimal or 0x hexadecimal):
  --scaling-x LOW,HIGH       scaling range of X (default 0,1024)
  --scaling-y LOW,HIGH       scaling range of Y (default 0,768)
  --calibration-x LOW,HIGH   calibration range of X (default 0,4095)
  --calibration-y LOW,HIGH   calibration range of Y (default 0,4095)
  --filter SLEN,DEVIATION,STATES   filter parameters (default 8,16,4)
  --report UNTOUCH,REPEAT    report delays (default 3,20)
  --mode REPORT,PROCESS      mode flag bytes (default 0x07,0x4e)
  --selftest-failures MASK   failure mask the self-test reports (default 0: passes)

A finger held on the panel, reported by the controller on its own:
  --hold X,Y[:RATE]          touch reports ('T') with these raw coordinates, RATE a second
                             (1-96; default 96, back to back on a paced line) for as long
                             as the mode has the stream bit (0x02; the default mode has it),
                             and one after each mode command that sets the touch bit (0x01)
                             without the stream bit. Each is a whole packet, sent after
                             whatever is already going out
  --stroke X0,Y0:X1,Y1:COUNT[@HZ]
                             a finger comes down at X0,Y0, moves in a straight line to
                             X1,Y1 over COUNT touch reports (1-1000000000), HZ a second
                             (1-10000; default 96, back to back on a paced line), and is
                             lifted: no more reports. Repeatable: the strokes follow one
                             another. Reports go out while the mode has the stream bit
                             (only the first of a stroke with the touch bit alone); a
                             stroke's reports that the mode does not ask for are lost
  --stroke-gap MS            quiet between strokes, and between the command's last packet
                             and the first stroke (0-600000, default 200)

Touch reports, sent in the given order after a mode command that leaves the controller
in raw mode (report flags 0x01, process flags 0):
  --touch X,Y                a touch report ('T') with these raw coordinates; repeatable
  --foreign C                a packet with the letter C instead, to be passed over
  --after-touches ACTION     once the command has read them all (or the strokes, when
                             given, have all gone out): 'hangup' closes the line,
                             a signal (INT, TERM, HUP or a number) is sent to COMMAND

Faults, by exchange N: the Nth command packet received, counting from 0; repeatable, and
several on one exchange combine:
  --fault N:no-reply         no answer at all
  --fault N:short:K          only the first K bytes (0-9) of the answer, then silence
  --fault N:drop:K           byte K (0-9) of the first reply is lost on the line
  --fault N:extra            an unsolicited packet right after the answer
  --fault N:touch-before     a touch report before the answer
  --fault N:delay:MS         the answer starts MS milliseconds late
  --fault N:ignore           the command is acknowledged as usual but not carried out
  --fault N:hangup           the line is closed instead of answering
  --fault N:signal:SIG       SIG is sent to COMMAND as soon as the packet is in
  --fault N:zeros            ten zero bytes (a line held in break) instead of the answer
  --fault N:noise            ten bytes of noise instead of the answer, never with a 0x55
                             among them; the same N gives the same bytes every run
  --fault N:reply:HEX        these bytes (1 to 64, two hexadecimal digits each, as in
                             55410000000000000000) instead of the answer
  --fault echo               every packet COMMAND sends comes back to it on the line,
                             before any answer (a two-wire RS-485 adapter does this)
  --fault loopback           every packet comes back, and nothing answers (a loopback
                             plug, or the wrong port): the controller takes no command

Line:
  --pending N                N bytes of stale input wait on the line when COMMAND starts
  --pace                     9600 baud timing: about 1.04 ms per byte, both directions;
                             each byte can be read as soon as it has arrived
  --adapter uart             9600 baud timing into a 16550 UART, whose receive FIFO hands
                             bytes over when 8 are in, or 4 byte times after the last
  --adapter usb[:MS]         9600 baud timing into a USB serial adapter, which hands over
                             what has arrived every MS milliseconds (default 16)
  --link PATH                also make PATH a symbolic link to the terminal (removed at
                             exit); without a COMMAND, serve until SIGINT or SIGTERM
  --no-private-dev           run COMMAND as it is, without a private /dev: it reaches the
                             line through the --link PATH, which must be given
  --attach PATH              serve this existing terminal instead of a pseudo-terminal of
                             our own (the host end of a virtual machine's serial port, for
                             one): set it raw 9600 8N1, answer on it until SIGINT or
                             SIGTERM, put its settings back and report; no COMMAND

Report (on standard error, after COMMAND ends):
  --json[=FILE]              JSON instead of text; into FILE when given
  --quiet                    no report

  --help                     show this help and exit
  --version                  show the version and exit

Statuses of its own: 77 when no private mount namespace can be made (needs root or user
namespaces; --no-private-dev needs neither), 125 for a bad emulator option or failure,
126/127 when COMMAND cannot be run.
)",
        out);
}

}  // namespace emu
