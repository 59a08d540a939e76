// SPDX-License-Identifier: MIT
#include "uinput.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

int unitsPerMm(AbsRange range, int mm) {
    if (mm <= 0) {
        return 0;
    }
    const long units = static_cast<long>(range.max) - range.min;
    return static_cast<int>(std::max<long>(1, (units + mm / 2) / mm));
}

void UinputSink::remove() {
    if (device_ != nullptr) {
        libevdev_uinput_destroy(device_);
        device_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int UinputSink::open(const char* node) {
    int fd = -1;
    do {
        fd = ::open(node, O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    fd_ = fd;
    return 0;
}

int UinputSink::create(const std::string& port, AbsRange x, AbsRange y, SizeMm size) {
    if (fd_ < 0 || device_ != nullptr) {
        return EBADF;
    }
    const std::unique_ptr<libevdev, decltype(&libevdev_free)> dev(libevdev_new(), libevdev_free);
    if (!dev) {
        return ENOMEM;
    }
    const std::string name = "tavrinset touchscreen (" + port + ")";
    libevdev_set_name(dev.get(), name.c_str());
    libevdev_set_phys(dev.get(), port.c_str());
    libevdev_set_id_bustype(dev.get(), BUS_RS232);
    libevdev_set_id_vendor(dev.get(), kBridgeVendor);
    libevdev_set_id_product(dev.get(), kBridgeProduct);
    libevdev_set_id_version(dev.get(), kBridgeVersion);
    const bool sized = size.width > 0 && size.height > 0;
    const input_absinfo ax{x.min, x.min, x.max, 0, 0, sized ? unitsPerMm(x, size.width) : 0};
    const input_absinfo ay{y.min, y.min, y.max, 0, 0, sized ? unitsPerMm(y, size.height) : 0};
    if (libevdev_enable_property(dev.get(), INPUT_PROP_DIRECT) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_KEY, BTN_TOUCH, nullptr) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_ABS, ABS_X, &ax) != 0 ||
        libevdev_enable_event_code(dev.get(), EV_ABS, ABS_Y, &ay) != 0) {
        return EINVAL;
    }
    const int err = libevdev_uinput_create_from_device(dev.get(), fd_, &device_);
    return err < 0 ? -err : 0;
}

int UinputSink::write(std::span<const InputEvent> frame) {
    if (device_ == nullptr) {
        return EBADF;
    }
    for (const InputEvent& e : frame) {
        int err = 0;
        // An interrupted write wrote nothing, so writing the event again cannot double it.
        do {
            err = libevdev_uinput_write_event(device_, e.type, e.code, e.value);
        } while (err == -EINTR);
        if (err < 0) {
            return -err;
        }
    }
    return 0;
}

const char* UinputSink::devnode() const {
    return device_ != nullptr ? libevdev_uinput_get_devnode(device_) : nullptr;
}

std::string uinputAdvice(int err, const char* node) {
    std::string text = std::string(node) + ": " + std::strerror(err);
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return text + ": load the uinput module: modprobe uinput";
        case EACCES:
        case EPERM:
            return text + ": the bridge needs read and write access to " + node +
                   ": run it as root, or give its user that access with a udev rule";
        default:
            return text;
    }
}
