// SPDX-License-Identifier: MIT
#include "delivery.h"

#include <algorithm>

namespace emu {

Time Wire::send(Time ready) {
    // Unpaced, order is all that is left of the line: nothing overtakes what went before.
    free_ = paced_ ? startOf(ready) + kByteTime : std::max(ready, free_);
    return free_;
}

Delivery::Delivery(const AdapterSetup& setup, Time origin) : setup_(setup), origin_(origin) {}

void Delivery::arrive(Time at) {
    waiting_.push_back(at);
}

Delivery::Handover Delivery::expire(Fifo& fifo, Time until) {
    Handover h;
    if (fifo.held > 0 && fifo.last + kFifoTimeout <= until) {
        h = {fifo.held, fifo.last + kFifoTimeout};
        fifo.held = 0;
    }
    return h;
}

Delivery::Handover Delivery::take(Fifo& fifo, Time t) {
    // The timer runs out before a byte arriving at the very same moment is counted.
    Handover h = expire(fifo, t);
    ++fifo.held;
    fifo.last = t;
    if (fifo.held >= kFifoTrigger) {
        h = {fifo.held, t};
        fifo.held = 0;
    }
    return h;
}

std::size_t Delivery::readableBy(Time now) {
    switch (setup_.kind) {
        case Adapter::none:
            while (!waiting_.empty() && waiting_.front() <= now) {
                waiting_.pop_front();
                ++handed_;
            }
            break;
        case Adapter::uart:
            while (!waiting_.empty() && waiting_.front() <= now) {
                handed_ += take(fifo_, waiting_.front()).bytes;
                waiting_.pop_front();
            }
            handed_ += expire(fifo_, now).bytes;
            break;
        case Adapter::usb:
            // The last burst that has happened took everything that had arrived by then.
            while (!waiting_.empty() && burstAtOrAfter(waiting_.front()) <= now) {
                waiting_.pop_front();
                ++handed_;
            }
            break;
    }
    return handed_;
}

Time Delivery::burstAtOrAfter(Time t) const {
    // Nothing arrives before the line exists.
    if (t <= origin_) {
        return origin_;
    }
    const auto periods = (t - origin_ + setup_.burst - Time::duration(1)) / setup_.burst;
    return origin_ + periods * setup_.burst;
}

Time Delivery::nextHandover() const {
    if (setup_.kind == Adapter::uart) {
        Fifo fifo = fifo_;
        for (Time t : waiting_) {
            if (Handover h = take(fifo, t); h.bytes > 0) {
                return h.at;
            }
        }
        Handover last = expire(fifo, kNever);
        return last.bytes > 0 ? last.at : kNever;
    }
    if (waiting_.empty()) {
        return kNever;
    }
    return setup_.kind == Adapter::usb ? burstAtOrAfter(waiting_.front()) : waiting_.front();
}

}  // namespace emu
