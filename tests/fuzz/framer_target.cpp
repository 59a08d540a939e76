// SPDX-License-Identifier: MIT
// Fuzz target: the framer alone. The input is a stream of packets as a line would hand them
// over (paced, in bursts, split by an adapter's latency, pauses between), bytes lost or added,
// and the transport's calls (lose, wrote, idle). On every stream: the framer holds no more than
// its bound; every byte fed is in a packet, in hand or passed over; every packet is ten
// consecutive bytes of the stream with their times, in order, not across a lose(); an end only
// goes from open to clean or broken; before settleAt() a pause settles nothing; the pause length
// learnt only grows, up to its cap. Where the stream leaves no doubt (no byte lost, the first
// after a pause, or every packet with the lead-in), the packets are those sent and every end is
// clean after a long pause. A lost byte can hide behind data that reads as a lead-in, so a lossy
// stream gets only the first list.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "framer.h"
#include "packet.h"

namespace {

using us = std::chrono::microseconds;
using End = Framer::End;

constexpr std::size_t kSize = Packet{}.size();
constexpr us kChar{1042};

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "framer fuzz: %s\n", what);
        std::abort();
    }
}

us micros(Duration d) {
    return std::chrono::duration_cast<us>(d);
}

struct Fed {
    std::uint8_t value;
    Time at;
    int packet;  // among those sent, or -1
    std::size_t offset;
    int segment;  // lose() calls before it
};

class Stream {
  public:
    // Byte 0: bit 0 lossless (no byte lost or added, no lose()), bit 1 the first byte comes
    // after a pause (else the stream begins mid-packet, bits 5-7 saying where), bit 2 every
    // packet with the lead-in, bit 3 the pause length of a USB adapter, bit 4 packets taken
    // only at pauses and at the end.
    Stream(const std::uint8_t* data, std::size_t size)
        : data_(data),
          size_(size),
          mode_(size > 0 ? data[0] : 0),
          framer_((mode_ & 8) != 0 ? Framer::kQuietUsb : Framer::kQuietUart) {
        framer_.lose(now_);
    }

    void run() {
        if ((mode_ & 2) != 0) {
            now_ += framer_.quiet() - kChar;
        } else {
            const Packet first = take(0);
            now_ += us(1) - kChar;
            deliver(first, kChar, kSize, {}, kSize - 1 - (mode_ >> 5) % (kSize - 1));
        }
        while (pos_ < size_) {
            const std::uint8_t c = data_[pos_++];
            const unsigned p = c & 31u;
            switch (c >> 5) {
                case 3:
                    gap(p);
                    break;
                case 4:
                    drop_ |= lossless() ? 0 : 1u << (p % kSize);
                    break;
                case 5:
                    if (!lossless()) {
                        framer_.lose(now_);
                        ++segment_;
                    }
                    break;
                case 6:
                    framer_.wrote(now_);
                    break;
                case 7:
                    for (unsigned i = 0; i <= p; ++i) {
                        const std::uint8_t b = next();
                        if (!lossless()) {
                            now_ += kChar;
                            feed(b, -1, 0, now_);
                        }
                    }
                    break;
                default:
                    packet(p);
                    break;
            }
            check();
            if ((mode_ & 16) == 0) {
                collect();
            }
        }
        // Long past anything the framer can have learnt: whatever waited on a pause settles.
        now_ += std::chrono::milliseconds(100);
        collect();
        const std::size_t before = ends_.size();
        idle();
        finish(before);
    }

  private:
    bool lossless() const { return (mode_ & 1) != 0; }
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

    // The letter and data bytes from the input; on a lossless stream none of what only a
    // slipped count looks like.
    Packet take(unsigned p) {
        const bool other = (p & 1) != 0 && (mode_ & 4) == 0;
        Packet pkt{other ? std::uint8_t{0xaa} : kLeadIn};
        for (std::size_t k = 1; k < kSize; ++k) {
            pkt[k] = next();
        }
        // The framer goes by the first touch report's head in a packet that is none: the same
        // place twice, with no touch report between, is a held finger's reports cut at a
        // coordinate; so is a run of packets whose letter reads as a lead-in before 'T'.
        auto firstHead = [&pkt] {
            for (std::size_t k = 2; pkt[1] != letter::touch && k + 1 < kSize; ++k) {
                if (pkt[k] == kLeadIn && pkt[k + 1] == letter::touch) {
                    return k;
                }
            }
            return std::size_t{0};
        };
        if (lossless() && pkt[1] == kLeadIn && pkt[2] == letter::touch) {
            pkt[2] = letter::touch + 2;
        }
        std::size_t headAt = firstHead();
        while (lossless() && headAt != 0 && headAt == lastHeadAt_) {
            pkt[headAt + 1] = letter::touch + 2;
            headAt = firstHead();
        }
        if (headAt != 0 || pkt[1] == letter::touch) {
            lastHeadAt_ = headAt;
        }
        // Two other lead-ins in a row: without a pause between, a slipped count.
        pauseFirst_ = lossless() && other && lastOther_;
        lastOther_ = other;
        return pkt;
    }

    // A gap inside a packet as long as a pause is a lost boundary unless the framer knows where
    // the packet began; as long as a silence, always.
    us insideGap(us want) const {
        if (!lossless()) {
            return want;
        }
        return std::min(want,
                        micros(framer_.synced() ? framer_.idleQuiet() : framer_.quiet()) - us(1));
    }

    void packet(unsigned p) {
        const us quiet = micros(framer_.quiet());
        const us lead[] = {kChar, quiet / 2, quiet, quiet - us(1)};
        us before = lead[(p >> 3) & 3];
        const Packet pkt = take(p);
        if (pauseFirst_) {
            before = std::max(before, quiet + static_cast<int>(kSize - 1) * kChar);
        }
        now_ += before - kChar;
        const unsigned style = (p >> 1) & 3;  // paced, one burst, two bursts, spaced
        if (style == 2) {                     // as an adapter's latency timer splits them
            const std::uint8_t s = next();
            deliver(pkt, us(0), 1 + s % (kSize - 1),
                    insideGap(std::chrono::milliseconds(4 * (s >> 4))));
        } else if (style == 3) {
            deliver(pkt, insideGap(kChar * (1 + (next() & 7))));
        } else {
            deliver(pkt, style == 0 ? kChar : us(0));
        }
        drop_ = 0;
    }

    // Bytes `from` on, `step` apart; those from `split` on `apart` later.
    void deliver(const Packet& pkt, us step, std::size_t split = kSize, us apart = {},
                 std::size_t from = 0) {
        const int index = static_cast<int>(sent_.size());
        now_ += kChar;
        Time t = now_;
        sent_.push_back({pkt, t, t});
        for (std::size_t k = from; k < kSize; ++k) {
            if (k == split) {
                t += apart;
            }
            sent_.back().last = t;
            if ((drop_ & (1u << k)) == 0) {
                feed(pkt[k], index, k, t);
            }
            if (k + 1 < kSize) {
                t += step;
            }
        }
        now_ = t;
    }

    void gap(unsigned p) {
        const us quiet = micros(framer_.quiet());
        Time t = now_ + us(250 * p * p);
        if (p >= 30) {
            t = lastFed_ + quiet - us(31 - p);
        }
        now_ = std::max(now_, t);
        idle();
    }

    // What a pause could change.
    auto settled() const {
        return std::make_tuple(framer_.held(), framer_.discarded(), framer_.synced(), got_.size(),
                               ends_.empty() ? End::open : ends_.back());
    }

    // The transport sleeps until settleAt() when nothing arrives.
    void idle() {
        collect();
        const auto before = settled();
        const bool due = now_ >= framer_.settleAt();
        framer_.idle(now_);
        collect();
        require(due || settled() == before, "a pause settled something before settleAt()");
    }

    void feed(std::uint8_t b, int index, std::size_t k, Time t) {
        fed_.push_back({b, t, index, k, segment_});
        lastFed_ = t;
        framer_.feed(b, t);
    }

    void check() {
        require(framer_.held() <= 8 * kSize, "more than the hold bound in hand");
        require(framer_.quiet() >= quiet_ && framer_.quiet() <= Framer::kQuietMax,
                "the pause length shrank or passed its cap");
        quiet_ = framer_.quiet();
        require(!framer_.synced() || framer_.held() < kSize, "a whole packet in hand while synced");
    }

    void observeEnd() {
        if (!ends_.empty()) {
            const End e = framer_.endOfLast();
            require(ends_.back() == End::open || e == ends_.back(), "an end changed its mind");
            ends_.back() = e;
        }
    }

    void collect() {
        observeEnd();
        while (auto f = framer_.next()) {
            locate(*f);
            got_.push_back(*f);
            ends_.push_back(End::open);
            observeEnd();
        }
    }

    // Ten consecutive bytes after the last packet's, with their times, between two lose()s;
    // on a lossless stream of lead-ins, where a packet was sent, and that one (or a copy).
    void locate(const Framer::Framed& f) {
        bool found = false;
        for (std::size_t i = cursor_; i + kSize <= fed_.size() && !found; ++i) {
            found = fed_[i].at == f.first && fed_[i + kSize - 1].at == f.last &&
                    fed_[i].segment == fed_[i + kSize - 1].segment;
            for (std::size_t k = 0; k < kSize && found; ++k) {
                found = fed_[i + k].value == f.pkt[k];
            }
            cursor_ = found ? i + kSize : cursor_;
        }
        require(found, "a packet that is not ten consecutive bytes of the stream");
        if (!lossless() || (mode_ & 4) == 0) {
            return;
        }
        for (std::size_t i = sentCursor_; i + kSize <= fed_.size(); ++i) {
            const Fed& b = fed_[i];
            if (b.offset == 0 && b.packet >= 0 && b.at == f.first &&
                sent_[static_cast<std::size_t>(b.packet)].pkt == f.pkt &&
                sent_[static_cast<std::size_t>(b.packet)].last == f.last) {
                sentCursor_ = i + kSize;
                return;
            }
        }
        require(false, "lossless, all lead-ins: a packet not cut where it was sent");
    }

    // Packets from `last` on were taken after the long pause at the end.
    void finish(std::size_t last) {
        require(fed_.size() == framer_.discarded() + framer_.held() + got_.size() * kSize,
                "bytes fed are neither in a packet, in hand, nor passed over");
        if (!lossless() || (mode_ & 6) == 0) {
            return;
        }
        require(framer_.held() == 0, "lossless: bytes left in hand after a long pause");
        for (std::size_t i = last; i < ends_.size(); ++i) {
            require(ends_[i] == End::clean, "lossless: an end not clean after a long pause");
        }
        if ((mode_ & 2) == 0) {
            return;
        }
        require(got_.size() == sent_.size() && framer_.discarded() == 0 &&
                    (ends_.empty() || ends_.back() == End::clean),
                "lossless after a pause: not every packet sent, bytes passed over, or the last "
                "end open");
        for (std::size_t i = 0; i < got_.size(); ++i) {
            require(got_[i].pkt == sent_[i].pkt && got_[i].first == sent_[i].first &&
                        got_[i].last == sent_[i].last && ends_[i] != End::broken,
                    "lossless after a pause: another packet than the one sent, or broken");
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 1;
    std::uint8_t mode_;
    Framer framer_;
    Time now_ = Time{} + std::chrono::hours(1);
    Time lastFed_{};
    Duration quiet_{};
    unsigned drop_ = 0;
    int segment_ = 0;
    bool lastOther_ = false;
    std::size_t lastHeadAt_ = 0;
    bool pauseFirst_ = false;  // the packet just taken must follow a pause
    std::vector<Fed> fed_;
    std::vector<Framer::Framed> sent_;  // with the times its bytes were fed
    std::vector<Framer::Framed> got_;
    std::vector<End> ends_;  // of every packet taken, as last seen
    std::size_t cursor_ = 0;
    std::size_t sentCursor_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Stream(data, size).run();
    return 0;
}
