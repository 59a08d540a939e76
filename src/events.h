// SPDX-License-Identifier: MIT
// Input events as the kernel's evdev interface carries them, where they go (an EventSink), and
// their text form for a run that prints them instead of making a device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

struct InputEvent {
    std::uint16_t type = 0;  // EV_KEY, EV_ABS, EV_SYN
    std::uint16_t code = 0;  // BTN_TOUCH, ABS_X, ABS_Y, SYN_REPORT
    std::int32_t value = 0;
};

class EventSink {
  public:
    virtual ~EventSink() = default;
    // One report's events, the last of them a SYN_REPORT. Returns 0, or the errno value of the
    // failure; the sink reports nothing itself.
    virtual int write(std::span<const InputEvent> frame) = 0;
};

// "EV_KEY BTN_TOUCH 1", "EV_ABS ABS_X 400", "EV_SYN SYN_REPORT 0": type, code and value as
// evtest names them, separated by one blank.
std::string formatEvent(const InputEvent& e);

// The same as one JSON object: {"event": {"type": "EV_KEY", "code": "BTN_TOUCH", "value": 1}}.
std::string formatEventJson(const InputEvent& e);

// One line per event in formatEvent's form (or formatEventJson's), each frame flushed as soon
// as it is written, so a reader at the other end of a pipe sees every touch when it happens.
// No time stamps: the lines for a given stroke are the same on every run.
class TextSink final : public EventSink {
  public:
    explicit TextSink(std::FILE* out, bool json = false) : out_(out), json_(json) {}
    int write(std::span<const InputEvent> frame) override;

  private:
    std::FILE* out_;
    bool json_;
};
