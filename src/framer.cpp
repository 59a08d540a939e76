// SPDX-License-Identifier: MIT
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
    lastHeadAt_ = 0;
    breakLast();
    synced_ = false;
    needLeadIn_ = false;
    lastAt_ = now;
}

void Framer::wrote(Time at) {
    clearFrom_ = !synced_ && hand_.empty() ? at : Time::max();
    wroteAt_ = at;
}

void Framer::feed(const std::uint8_t* bytes, std::size_t n, Time at) {
    if (n == 0) {
        return;
    }
    // The first byte of the chunk was on the wire at least this long before it was handed over.
    const Duration held = static_cast<std::int64_t>(n - 1) * kByteTime;
    const Duration gap = at - lastAt_ - held;
    // The first chunk after a command that found nothing in hand, whole packets each from the
    // lead-in on: the reply (and what follows it), handed over at once (a line with no timing
    // of its own).
    bool reply = !synced_ && hand_.empty() && at >= clearFrom_ && n % kSize == 0;
    for (std::size_t k = 0; reply && k < n; k += kSize) {
        reply = bytes[k] == kLeadIn;
    }
    // A lead-in since the last command with less than a packet after it: a reply coming in. A
    // UART's FIFO can hold its last bytes back longer than a pause (an emulated one does), and
    // a reader late for them sees one too, but nothing holds them through a silence. Bytes of
    // a packet the line was opened in the middle of may lie ahead of it, handed over after the
    // command by the same FIFO. Unless such a lead-in has a whole packet after it: that reply
    // is complete, the pause is where it ends, and a 0x55 inside it is one of its data bytes.
    // The transport takes in what has arrived before it writes: a byte handed over as the write
    // went out came before it.
    auto leadInSinceWrite = [this](std::size_t i) {
        return hand_[i].value == kLeadIn && hand_[i].at > wroteAt_;
    };
    auto whole = [&] { return hand_.size() >= kSize && leadInSinceWrite(hand_.size() - kSize); };
    bool coming = false;
    if (!synced_ && !whole()) {
        for (std::size_t i = hand_.size() < kSize ? 0 : hand_.size() - kSize + 1;
             i < hand_.size() && !coming; ++i) {
            coming = leadInSinceWrite(i);
        }
    }
    if ((gap >= quiet_ && !(coming && gap < idleQuiet())) || reply) {
        pause(gap >= idleQuiet());
    } else if (synced_ && endOpen_ && gap >= settle()) {
        confirmLast();
    }
    lastAt_ = std::max(lastAt_, at);
    for (std::size_t i = 0; i < n; ++i) {
        consume({bytes[i], at, at - static_cast<std::int64_t>(n - 1 - i) * kByteTime});
    }
    // Completed, it is the reply: framed at once.
    if (coming && gap >= quiet_ && !synced_ && whole()) {
        pause(false);
    }
}

void Framer::idle(Time now) {
    if (now - lastAt_ >= idleQuiet()) {
        pause(true);
    } else if (synced_ && endOpen_ && now - lastAt_ >= settle()) {
        confirmLast();
    }
}

Framer::Duration Framer::settle() const {
    // What would follow a packet is handed over as late as its own bytes were.
    const Duration widest = std::max({seenHanded_, widestHanded_, burst_});
    return std::clamp(widest + widest / 4, kSettleMin, idleQuiet());
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
    if (!synced_ || !hand_.empty()) {
        return lastAt_ + idleQuiet();
    }
    if (endOpen_) {
        return lastAt_ + settle();
    }
    return Time::max();
}

void Framer::pause(bool silence) {
    if (synced_) {
        // A packet cut short stays in hand: behind a USB adapter the rest can come a latency
        // later, and a reply that never completes is the reader's timeout to judge. No adapter
        // holds bytes back through a silence, though: then a byte of it was lost, and kept, it
        // would take the next packet's head for its tail.
        if (silence && !hand_.empty()) {
            if (doubt_) {
                settle(completed_ - 1, End::broken);
                doubt_ = false;
            }
            pass(hand_.size());
        }
        if (endOpen_) {
            confirmLast();
        }
        return;
    }
    // The pause ends a packet, so whole packets end here: frame what is in hand backwards from
    // it. What comes before them is the tail of a packet whose head was never seen.
    const std::size_t discardedBefore = discarded_;
    const std::size_t discardedHere = hand_.size() % kSize;
    pass(discardedHere);
    // Counting back from a pause is only as good as the bytes counted: a packet cut short
    // shifts everything before it. Packets are taken back from the pause for as long as the
    // lead-ins bear the count out; one without it (a reply may choose its own lead-in) only
    // between two that have it. What comes before is passed over.
    const std::size_t packets = hand_.size() / kSize;
    auto leadIn = [&](std::size_t k) { return hand_[k * kSize].value == kLeadIn; };
    std::size_t kept = 0;
    while (kept < packets) {
        const std::size_t k = packets - 1 - kept;
        const bool between = kept > 0 && leadIn(k + 1) && k > 0 && leadIn(k - 1);
        if (!leadIn(k) && !between) {
            break;
        }
        ++kept;
    }
    // Unless every byte came after a command that found the line empty, in whole packets, and
    // no lead-in bears the count out: then nothing was cut, and the count stands on its own.
    // Where a lead-in does, what comes before it without one may be bytes that were on their
    // way when the line was opened, handed over late.
    const bool afterWrite =
        !hand_.empty() && discardedHere == 0 && hand_.front().at >= clearFrom_ && kept == 0;
    if (!afterWrite) {
        pass((packets - kept) * kSize);
    }
    // Bytes passed over and none framed: the pause may as well have fallen inside a stream of
    // garbage (a panel opened mid-packet, a FIFO handing it over late) as between packets, so
    // what follows must show a lead-in to begin one.
    needLeadIn_ = kept == 0 && !afterWrite && discarded_ > discardedBefore;
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
    if (synced_ && needLeadIn_ && hand_.empty()) {
        needLeadIn_ = false;
        if (b.value != kLeadIn) {
            unsync(b);
            return;
        }
    }
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
    Duration handed{};
    Duration wired{};
    for (std::size_t i = 0; i < kSize; ++i) {
        f.pkt[i] = hand_[i].value;
        if (i > 0) {
            handed = std::max(handed, hand_[i].at - hand_[i - 1].at);
            wired = std::max(wired, hand_[i].wired - hand_[i - 1].wired);
        }
    }
    f.first = hand_.front().at;
    f.last = hand_.back().at;
    f.began = hand_.front().wired;
    // Bytes read together were held somewhere (a FIFO, an adapter, a reader that was late) for
    // at least the time the line took to carry them: a gap shorter than that after them is no
    // silence on the line.
    std::size_t together = 1;
    while (together < kSize && hand_[kSize - 1 - together].at == f.last) {
        ++together;
    }
    burst_ = kByteTime * static_cast<int>(together - 1);
    hand_.clear();
    ready_.push_back(f);
    ends_.push_back(End::open);
    ++completed_;
    // Touch reports are what a controller sends most, and a coordinate byte may read 0x55 in
    // every one of a held finger's: cut at that byte, the stream chains as cleanly as at the
    // real lead-ins, and the replies in between chain along. Packets that are no touch report
    // but hold the head of one at the same place, twice with no touch report framed whole in
    // between, were cut there. (A reply may hold those two bytes once.)
    std::size_t headAt = 0;
    if (f.pkt[at::letter] == letter::touch) {
        lastHeadAt_ = 0;
    } else {
        for (std::size_t k = 2; k + 1 < kSize && headAt == 0; ++k) {
            if (f.pkt[k] == kLeadIn && f.pkt[k + 1] == letter::touch) {
                headAt = k;
            }
        }
    }
    if (headAt != 0 && headAt == lastHeadAt_) {
        endOpen_ = false;
        lastDoubt_ = false;
        doubt_ = false;
        for (std::uint64_t seq = lastHeadSeq_; seq < completed_; ++seq) {
            settle(seq, End::broken);
        }
        synced_ = false;
        lastHeadAt_ = 0;
        return;
    }
    if (headAt != 0) {
        lastHeadAt_ = headAt;
        lastHeadSeq_ = completed_ - 1;
    }
    endOpen_ = true;
    lastDoubt_ = doubt_;
    doubt_ = false;
    widestHanded_ = handed;
    widestWired_ = wired;
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
    seenHanded_ = std::max(seenHanded_, widestHanded_);
    if (widestWired_ >= quiet_) {
        quiet_ = std::min(kQuietMax, widestWired_ + widestWired_ / 2);
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
        // A touch report's letter after the lead-in tells the real starts apart, when only
        // one of the places has it.
        auto touchAt = [&](std::size_t i) {
            return i + 1 + 2 * kSize < hand_.size() && hand_[i + 1].value == letter::touch &&
                   hand_[i + 1 + kSize].value == letter::touch &&
                   hand_[i + 1 + 2 * kSize].value == letter::touch;
        };
        std::size_t places = 1;
        std::size_t touches = touchAt(found) ? 1 : 0;
        std::size_t touchPlace = found;
        for (std::size_t j = found + 1; j < found + kSize; ++j) {
            if (leadInAt(j)) {
                ++places;
                if (touchAt(j)) {
                    ++touches;
                    touchPlace = j;
                }
            }
        }
        if (places > 1) {
            if (touches != 1) {
                break;
            }
            found = touchPlace;
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
    for (std::size_t i = 0; i < n; ++i) {
        lastPassed_ = std::max(lastPassed_, hand_[i].wired);
    }
    hand_.erase(hand_.begin(), hand_.begin() + static_cast<std::ptrdiff_t>(n));
    discarded_ += n;
}
