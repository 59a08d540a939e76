// SPDX-License-Identifier: MIT
// Guided calibration at the panel: touches at the screen's corners, read in raw reporting,
// turned into the four calibration bounds, checked, and sent as --xlow ... --yhigh would send
// them. Prompts and findings go to standard error, the result to standard output.
#pragma once

#include <cstdint>

#include "calibration.h"

class Transport;

enum class Calibrated {
    sent,            // printed, and sent unless dry run
    exchangeFailed,  // printed and sent, but an exchange on the way failed (reported)
    failed,          // nothing sent: no usable corners, the mode not put back, a stop signal
                     // or the device gone (all but the last two reported)
};

// Runs the whole procedure. The controller's own mode is back before anything is sent, on
// every way out but the device disappearing. *sent: the bounds, once they have been sent.
Calibrated calibrate(Transport& t, const CalibrationRequest& req, calib::Bounds* sent = nullptr);
