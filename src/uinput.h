// SPDX-License-Identifier: MIT
// The touchscreen device the bridge makes through /dev/uinput, with libevdev: single touch,
// direct (INPUT_PROP_DIRECT), ABS_X, ABS_Y and BTN_TOUCH, and nothing that would make udev or
// libinput take it for a mouse.
#pragma once

#include <span>
#include <string>

#include "events.h"
#include "orientation.h"

struct libevdev_uinput;

inline constexpr const char* kUinputNode = "/dev/uinput";

// The device's identity, fixed so that a desktop remembers which monitor it belongs to across
// runs and replugs. There is no registry of vendor ids for serial devices: the vendor is
// "tv" in ASCII, the product the first of its kind.
inline constexpr int kBridgeVendor = 0x7476;
inline constexpr int kBridgeProduct = 0x0001;
inline constexpr int kBridgeVersion = 1;

// The screen's physical size, width along the device's X (after any swap); zero when not
// known. Both or neither: libinput distrusts a device with a resolution on one axis only.
struct SizeMm {
    int width = 0;
    int height = 0;
};

// Units per millimetre for an axis spanning mm: rounded, at least 1 (0 means unknown to the
// kernel); 0 when mm is 0.
int unitsPerMm(AbsRange range, int mm);

class UinputSink final : public EventSink {
  public:
    UinputSink() = default;
    UinputSink(const UinputSink&) = delete;
    UinputSink& operator=(const UinputSink&) = delete;
    // Removes the device. The bridge has released any touch before this.
    ~UinputSink() override { remove(); }
    // Removes the device now, before the serial line is put back, and closes the node.
    void remove();

    // Step one, before the panel is touched: opens the node for reading and writing. Returns
    // 0 or the errno value; uinputAdvice() turns it into the message.
    int open(const char* node = kUinputNode);
    // Step two, once the controller has answered: makes the device, named
    // "tavrinset touchscreen (PORT)", its axes starting at their minimum. Returns 0 or the
    // errno value.
    int create(const std::string& port, AbsRange x, AbsRange y, SizeMm size);

    int write(std::span<const InputEvent> frame) override;

    // "/dev/input/eventN", or null when the kernel did not say.
    const char* devnode() const;

  private:
    int fd_ = -1;
    libevdev_uinput* device_ = nullptr;
};

// What to do about a failed open() of node, for the one message the caller prints:
// "/dev/uinput: No such file or directory: load the uinput module: modprobe uinput".
std::string uinputAdvice(int err, const char* node = kUinputNode);
