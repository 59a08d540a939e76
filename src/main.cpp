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
#include "verify.h"

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
                setOutputFormat(options.json ? Format::json : Format::text);
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
