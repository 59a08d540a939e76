// SPDX-License-Identifier: MIT
// Prints every option tavrinset accepts, one a line: as typed ("--width", "-w"), "value" or
// "flag", and a long option's short form if it has one. The manual page and the completions are
// checked against it and the options fuzzer's dictionary is built from it: none falls behind.
#include <cstdio>
#include <cstring>

#include "main.h"

int main() {
    for (const option& o : longOptionTable()) {
        std::printf("--%s %s", o.name, o.has_arg == no_argument ? "flag" : "value");
        if (o.flag == nullptr && o.val > 0 && o.val < 128 &&
            std::strchr(shortOptionString(), o.val) != nullptr) {
            std::printf(" -%c", o.val);
        }
        std::printf("\n");
    }
    for (const char* p = shortOptionString(); *p != '\0'; ++p) {
        if (*p != ':') {
            std::printf("-%c %s\n", *p, p[1] == ':' ? "value" : "flag");
        }
    }
    return 0;
}
