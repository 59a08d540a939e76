// SPDX-License-Identifier: MIT
#include "events.h"

#include <libevdev/libevdev.h>

#include <cerrno>

namespace {

// libevdev's names are the kernel's, the ones evtest and libinput print.
const char* typeName(const InputEvent& e) {
    const char* name = libevdev_event_type_get_name(e.type);
    return name != nullptr ? name : "?";
}

const char* codeName(const InputEvent& e) {
    const char* name = libevdev_event_code_get_name(e.type, e.code);
    return name != nullptr ? name : "?";
}

}  // namespace

std::string formatEvent(const InputEvent& e) {
    return std::string(typeName(e)) + ' ' + codeName(e) + ' ' + std::to_string(e.value);
}

std::string formatEventJson(const InputEvent& e) {
    return std::string("{\"event\": {\"type\": \"") + typeName(e) + "\", \"code\": \"" +
           codeName(e) + "\", \"value\": " + std::to_string(e.value) + "}}";
}

int TextSink::write(std::span<const InputEvent> frame) {
    for (const InputEvent& e : frame) {
        if (std::fprintf(out_, "%s\n", (json_ ? formatEventJson(e) : formatEvent(e)).c_str()) < 0) {
            return errno != 0 ? errno : EIO;
        }
    }
    if (std::fflush(out_) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}
