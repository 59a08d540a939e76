// SPDX-License-Identifier: MIT
// --verify: what was sent, read back and compared.
#pragma once

#include "options.h"
#include "readback.h"

// Reads back each group opts had written and prints every difference on standard error, and
// with --json also as a record on standard output. True when everything read back as sent.
// Stops, silent, on a stop signal.
bool verifySettings(Readback& readback, const Options& opts);
