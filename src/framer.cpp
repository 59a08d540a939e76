#include "framer.h"

#include <algorithm>

namespace {

constexpr std::size_t kSize = Packet{}.size();
// Unsettled bytes kept while looking for the lead-in: enough for the three it takes, and more
// to see past a coordinate byte that happens to read 0x55 in every report of a held finger.
constexpr std::size_t kHoldMax = 8 * kSize;

}  // namespace

Framer::Framer(Duration quiet) : quiet_(quiet) {}

void Framer::lose(Time now) {
    pass(hand_.size());
    breakLast();
    synced_ = false;
    lastAt_ = now;
}

void Framer::wrote(Time at) {
    clearFrom_ = !synced_ && hand_.empty() ? at : Time::max();
}

void Framer::feed(std::uint8_t byte, Time at) {
    if (at - lastAt_ >= quiet_) {
        pause();
    } else if (synced_ && endOpen_ && at - lastAt_ >= settle()) {
        confirmLast();
    }
    lastAt_ = std::max(lastAt_, at);
    consume({byte, at});
}

void Framer::feed(const std::uint8_t* bytes, std::size_t n, Time at) {
    for (std::size_t i = 0; i < n; ++i) {
        feed(bytes[i], at);
    }
}

void Framer::idle(Time now) {
    if (now - lastAt_ >= quiet_) {
        pause();
    } else if (synced_ && endOpen_ && now - lastAt_ >= settle()) {
        confirmLast();
    }
}

Framer::Duration Framer::settle() const {
    const Duration widest = std::max({seenGap_, widest_, burst_});
    return std::clamp(widest + widest / 4, kSettleMin, quiet_);
}

std::optional<Framer::Framed> Framer::next() {
    if (ready_.empty()) {
        return std::nullopt;
    }
    Framed f = ready_.front();
    ready_.pop_front();
    ++returned_;
    // Ends older than the one endOfLast() reports, and settled, are of no further use.
    while (endsBase_ + 1 < returned_ && !ends_.empty() && ends_.front() != End::open) {
        ends_.pop_front();
        ++endsBase_;
    }
    return f;
}

Framer::End Framer::endOfLast() const {
    if (returned_ == 0 || returned_ - 1 < endsBase_) {
        return End::clean;
    }
    return ends_[returned_ - 1 - endsBase_];
}

Framer::Time Framer::settleAt() const {
    if (!synced_) {
        return lastAt_ + quiet_;
    }
    if (endOpen_) {
        return lastAt_ + settle();
    }
    return Time::max();
}

void Framer::pause() {
    if (synced_) {
        // A packet cut short stays in hand: behind a USB adapter the rest can come a latency
        // later, and a reply that never completes is the reader's timeout to judge.
        if (endOpen_) {
            confirmLast();
        }
        return;
    }
    // The pause ends a packet, so whole packets end here: frame what is in hand backwards from
    // it. What comes before them is the tail of a packet whose head was never seen.
    const std::size_t discardedHere = hand_.size() % kSize;
    pass(discardedHere);
    // Counting back from a pause is only as good as the bytes counted: a packet cut short
    // shifts everything before it. The lead-ins must bear the count out: a packet without one
    // (a reply may have a lead-in of its own choosing) must be followed by one that has it.
    const std::size_t packets = hand_.size() / kSize;
    bool fits = true;
    for (std::size_t k = 0; k < packets; ++k) {
        const bool leadIn = hand_[k * kSize].value == kLeadIn;
        const bool nextLeadIn = k + 1 < packets && hand_[(k + 1) * kSize].value == kLeadIn;
        fits = fits && (leadIn || nextLeadIn);
    }
    // Unless every byte came after a command that found the line empty, in whole packets: then
    // nothing was cut, and the count stands on its own.
    const bool afterWrite = !hand_.empty() && discardedHere == 0 && hand_.front().at >= clearFrom_;
    if (!fits && !afterWrite) {
        pass(hand_.size());
    }
    synced_ = true;
    doubt_ = false;
    std::deque<Byte> rest;
    rest.swap(hand_);
    for (const Byte& b : rest) {
        consume(b);
    }
    if (synced_ && endOpen_) {
        confirmLast();
    }
}

void Framer::consume(const Byte& b) {
    if (!synced_) {
        hand_.push_back(b);
        findLeadIn();
        return;
    }
    if (hand_.empty() && endOpen_) {
        endOpen_ = false;
        if (b.value == kLeadIn) {
            confirmLast();
        } else if (lastDoubt_) {
            // Two packets in a row without the lead-in: the count has slipped.
            settle(completed_ - 1, End::broken);
            settle(completed_ - 2, End::broken);
            unsync(b);
            return;
        } else {
            doubt_ = true;  // the last packet's end now hangs on this one
        }
    }
    hand_.push_back(b);
    if (hand_.size() == kSize) {
        complete();
    }
}

void Framer::complete() {
    Framed f;
    Duration widest{};
    for (std::size_t i = 0; i < kSize; ++i) {
        f.pkt[i] = hand_[i].value;
        if (i > 0) {
            widest = std::max(widest, hand_[i].at - hand_[i - 1].at);
        }
    }
    f.first = hand_.front().at;
    f.last = hand_.back().at;
    // Bytes read together were held somewhere (a FIFO, an adapter, a reader that was late) for
    // at least the time the line took to carry them: a gap shorter than that after them is no
    // silence on the line.
    std::size_t together = 1;
    while (together < kSize && hand_[kSize - 1 - together].at == f.last) {
        ++together;
    }
    burst_ = kCharTime * static_cast<int>(together - 1);
    hand_.clear();
    ready_.push_back(f);
    ends_.push_back(End::open);
    ++completed_;
    endOpen_ = true;
    lastDoubt_ = doubt_;
    doubt_ = false;
    widest_ = widest;
}

void Framer::settle(std::uint64_t seq, End end) {
    if (seq >= endsBase_ && seq < completed_ && ends_[seq - endsBase_] == End::open) {
        ends_[seq - endsBase_] = end;
    }
}

void Framer::confirmLast() {
    endOpen_ = false;
    settle(completed_ - 1, End::clean);
    if (lastDoubt_) {
        // It began where its predecessor ended after all.
        settle(completed_ - 2, End::clean);
        lastDoubt_ = false;
    }
    // A whole packet whose bytes came far apart shows how late this line hands bytes over (a
    // UART's FIFO, a USB adapter's latency timer): waits must be longer than that.
    seenGap_ = std::max(seenGap_, widest_);
    if (widest_ >= quiet_) {
        quiet_ = std::min(kQuietMax, widest_ + widest_ / 2);
    }
}

void Framer::breakLast() {
    if (completed_ > 0) {
        settle(completed_ - 1, End::broken);
        if (lastDoubt_ || doubt_) {
            settle(completed_ - 2, End::broken);
        }
    }
    endOpen_ = false;
    lastDoubt_ = false;
    doubt_ = false;
}

void Framer::unsync(const Byte& b) {
    synced_ = false;
    endOpen_ = false;
    lastDoubt_ = false;
    doubt_ = false;
    hand_.push_back(b);
    findLeadIn();
}

void Framer::findLeadIn() {
    auto leadInAt = [&](std::size_t i) {
        return hand_[i].value == kLeadIn && hand_[i + kSize].value == kLeadIn &&
               hand_[i + 2 * kSize].value == kLeadIn;
    };
    while (hand_.size() > 2 * kSize) {
        const std::size_t last = hand_.size() - 2 * kSize;  // exclusive
        std::size_t found = last;
        for (std::size_t i = 0; i < last; ++i) {
            if (leadInAt(i)) {
                found = i;
                break;
            }
        }
        if (found == last) {
            break;
        }
        // A data byte that reads 0x55 in every packet repeats with the packets: two places
        // less than a packet apart cannot both be starts, and nothing tells which one is.
        // Bytes come one at a time, so the first place is seen whole before any later one:
        // wait until every place less than a packet after it can be seen whole too.
        if (found + kSize > last) {
            break;
        }
        bool twice = false;
        for (std::size_t j = found + 1; j < found + kSize; ++j) {
            twice = twice || leadInAt(j);
        }
        if (twice) {
            break;
        }
        pass(found);
        synced_ = true;
        std::deque<Byte> rest;
        rest.swap(hand_);
        for (const Byte& b : rest) {
            consume(b);
        }
        return;
    }
    if (hand_.size() > kHoldMax) {
        pass(hand_.size() - kHoldMax);
    }
}

void Framer::pass(std::size_t n) {
    n = std::min(n, hand_.size());
    hand_.erase(hand_.begin(), hand_.begin() + static_cast<std::ptrdiff_t>(n));
    discarded_ += n;
}
