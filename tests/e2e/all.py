#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every case file's cases in one registry: all.py GROUP TPANEL_EMU TAVRINSET SHIMS..."""
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
import calibrate  # noqa: E402,F401 (each registers its cases)
import e2e  # noqa: F401
import guards  # noqa: F401
import operators  # noqa: F401
import readback  # noqa: F401
import tpanel

if __name__ == "__main__":
    sys.exit(tpanel.main(sys.argv))
