// SPDX-License-Identifier: MIT
// Prints every option tavrinset accepts, one per line: the option as typed ("--width",
// "-w"), "value" or "flag", and for a long option its short form if it has one. The
// documentation checks compare the man page and the completion against this list, so
// neither can fall behind the parser.
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
