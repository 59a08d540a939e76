// SPDX-License-Identifier: MIT
#include "main.h"

int main(int argc, char** argv) {
    return runTavrinset(argc, argv);
}
