// SPDX-License-Identifier: MIT
#include "events.h"

#include <libevdev/libevdev.h>

#include <cerrno>

std::string formatEvent(const InputEvent& e) {
    // libevdev's names are the kernel's, the ones evtest and libinput print.
    const char* type = libevdev_event_type_get_name(e.type);
    const char* code = libevdev_event_code_get_name(e.type, e.code);
    return std::string(type ? type : "?") + ' ' + (code ? code : "?") + ' ' +
           std::to_string(e.value);
}

int TextSink::write(std::span<const InputEvent> frame) {
    for (const InputEvent& e : frame) {
        if (std::fprintf(out_, "%s\n", formatEvent(e).c_str()) < 0) {
            return errno != 0 ? errno : EIO;
        }
    }
    if (std::fflush(out_) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}
