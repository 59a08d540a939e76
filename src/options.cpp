// SPDX-License-Identifier: MIT
#include "options.h"

Options options;
