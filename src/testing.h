// SPDX-License-Identifier: MIT
// The controller's self-test.
#pragma once

// Returns the failure mask (0 passed). When the reply cannot be read the mask sent stands in
// for it. exchangeOk is cleared when any transfer failed.
int runDiagnostics(int fd, unsigned dmask, bool& exchangeOk);
