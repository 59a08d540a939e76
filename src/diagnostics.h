// SPDX-License-Identifier: MIT
// The controller's self-test.
#pragma once

class Transport;

// Returns the failure mask (0 passed), or -1 when no reply told it: the mask sent is no
// verdict. exchangeOk is cleared when any transfer failed (reported).
int runDiagnostics(Transport& t, unsigned dmask, bool& exchangeOk);
