// SPDX-License-Identifier: MIT
// Fuzz target: the framer alone, no line. The input is a stream of packets as a line would
// hand them over (paced, in bursts, split by an adapter's latency, with pauses between), with
// bytes lost or added, and the calls the transport makes (lose, wrote, idle). Checked on every
// stream:
//   - the framer never holds more than its bound;
//   - every byte fed is in a packet, in hand, or counted as passed over;
//   - every packet is ten consecutive bytes of the stream, with their first and last times,
//     in arrival order, and none spans a lose();
//   - what it says about a packet's end only ever goes from open to clean or broken;
//   - before settleAt() a pause settles nothing (the transport sleeps until then);
//   - the pause length it learns only grows, and never past its cap.
// And where the stream leaves no doubt:
//   - no byte lost, and the first one after a pause: the packets are exactly those sent;
//   - no byte lost, every packet with the lead-in (a held finger, say), starting anywhere:
//     every packet is one that was sent, cut where it was sent;
//   - either way, after a long pause nothing is left in hand and every end is clean.
// A lost byte can be hidden by data that reads as a lead-in, so on a lossy stream only the
// first list holds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "framer.h"
#include "packet.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Time = Framer::Time;
using End = Framer::End;

constexpr std::size_t kSize = Packet{}.size();
// The most the framer may hold while it looks for the boundaries.
constexpr std::size_t kHoldBound = 8 * kSize;
constexpr microseconds kChar{1042};
constexpr std::uint8_t kOtherLeadIn = 0xaa;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "framer fuzz: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what) {
    if (!ok) {
        fail(what);
    }
}

// Byte 0 of the input.
struct Mode {
    bool lossless;     // no byte lost or added, no lose()
    bool afterPause;   // else the stream begins with the tail of a packet
    bool allLeadIn;    // every packet begins with 0x55
    bool usb;          // the framer starts with the pause length for a USB adapter
    bool lazy;         // packets are taken only at pauses and at the end
    std::size_t tail;  // bytes of the first packet that arrive, when it begins mid-packet
};

Mode decodeMode(std::uint8_t b) {
    return {(b & 1) != 0, (b & 2) != 0,  (b & 4) != 0,
            (b & 8) != 0, (b & 16) != 0, 1 + static_cast<std::size_t>(b >> 5) % (kSize - 1)};
}

struct Fed {
    std::uint8_t value;
    Time at;
    int packet;  // index among the packets sent, or -1 for a byte of no packet
    std::size_t offset;
    int segment;  // lose() calls before it
};

struct Sent {
    Packet pkt;
    Time first;
    Time last;
};

class Stream {
  public:
    Stream(const std::uint8_t* data, std::size_t size)
        : data_(data),
          size_(size),
          mode_(decodeMode(size > 0 ? data[0] : 0)),
          framer_(mode_.usb ? Framer::kQuietUsb : Framer::kQuietUart) {
        pos_ = 1;
        now_ = Time{} + std::chrono::hours(1);
        framer_.lose(now_);
        fed_.reserve(size_);
        sent_.reserve(size_ / kSize + 1);
        got_.reserve(size_ / kSize + 1);
        ends_.reserve(size_ / kSize + 1);
    }

    void run() {
        if (mode_.afterPause) {
            now_ += framer_.quiet() - kChar;  // the first byte comes a pause after open
        } else {
            // The head of the first packet went by before the line was opened.
            Packet first = takePacket(0);
            const std::size_t skip = kSize - mode_.tail;
            now_ += microseconds(1) - kChar;
            deliverPaced(first, skip, kChar);
        }
        while (pos_ < size_) {
            const std::uint8_t c = data_[pos_++];
            const unsigned p = c & 31u;
            switch (c >> 5) {
                case 0:
                case 1:
                case 2:
                    packet(p);
                    break;
                case 3:
                    gap(p);
                    break;
                case 4:
                    if (!mode_.lossless) {
                        drop_ |= 1u << (p % kSize);
                    }
                    break;
                case 5:
                    if (!mode_.lossless) {
                        framer_.lose(now_);
                        ++segment_;
                    }
                    break;
                case 6:
                    framer_.wrote(now_);
                    break;
                default:
                    junk(p + 1);
                    break;
            }
            check();
            if (!mode_.lazy) {
                take();
            }
        }
        // Long past anything the framer can have learnt: whatever waited on a pause settles.
        now_ += milliseconds(100);
        take();
        const std::size_t before = ends_.size();
        idle();
        finish(before);
    }

  private:
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

    // The letter and data bytes come from the input; the lead-in as the mode allows.
    Packet takePacket(unsigned p) {
        Packet pkt{};
        pkt[0] = kLeadIn;
        const bool other = (p & 1) != 0 && !mode_.allLeadIn;
        if (other) {
            pkt[0] = kOtherLeadIn;
        }
        for (std::size_t k = 1; k < kSize; ++k) {
            pkt[k] = next();
        }
        // Packets that are no touch reports but carry one's head at the same place, two with
        // no touch report between, are what a held finger's reports cut at a coordinate look like;
        // on a lossless stream the controller does not send them.
        // The framer goes by the first head in a packet: with that one spoilt, the next counts.
        auto firstHead = [&pkt] {
            for (std::size_t k = 2; pkt[1] != letter::touch && k + 1 < kSize; ++k) {
                if (pkt[k] == kLeadIn && pkt[k + 1] == letter::touch) {
                    return k;
                }
            }
            return std::size_t{0};
        };
        // Nor, on a lossless stream, one whose letter reads as a lead-in before a touch letter:
        // a run of them is a held finger's reports one byte on, as much as a run of replies.
        if (mode_.lossless && pkt[1] == kLeadIn && pkt[2] == letter::touch) {
            pkt[2] = static_cast<std::uint8_t>(letter::touch + 2);
        }
        std::size_t headAt = firstHead();
        while (mode_.lossless && headAt != 0 && headAt == lastHeadAt_) {
            pkt[headAt + 1] = static_cast<std::uint8_t>(letter::touch + 2);
            headAt = firstHead();
        }
        if (headAt != 0) {
            lastHeadAt_ = headAt;
        } else if (pkt[1] == letter::touch) {
            lastHeadAt_ = 0;
        }
        // Two other lead-ins in a row are what a slipped count looks like; on a lossless
        // stream the controller never sends them without a pause between.
        pauseFirst_ = mode_.lossless && other && lastOther_;
        lastOther_ = other;
        return pkt;
    }

    // A gap inside a packet as long as a pause is a lost boundary unless the framer already
    // knows where this packet began; one as long as a silence always is: no adapter holds
    // bytes back that long.
    microseconds insideGap(microseconds want) const {
        if (mode_.lossless) {
            auto limit = std::chrono::duration_cast<microseconds>(
                             framer_.synced() ? framer_.idleQuiet() : framer_.quiet()) -
                         microseconds(1);
            return std::min(want, limit);
        }
        return want;
    }

    void packet(unsigned p) {
        const auto quiet = std::chrono::duration_cast<microseconds>(framer_.quiet());
        const microseconds lead[] = {kChar, quiet / 2, quiet, quiet - microseconds(1)};
        microseconds before = lead[(p >> 3) & 3];
        const Packet pkt = takePacket(p);
        if (pauseFirst_) {
            // Bytes handed over together take their line time off the gap before them.
            before = std::max(before, quiet + static_cast<int>(kSize - 1) * kChar);
        }
        now_ += before - kChar;
        switch ((p >> 1) & 3) {
            case 0:
                deliverPaced(pkt, 0, kChar);
                break;
            case 1:
                deliverPaced(pkt, 0, microseconds(0));
                break;
            case 2: {  // two bursts, as an adapter's latency timer splits them
                const std::uint8_t s = next();
                const std::size_t at = 1 + s % (kSize - 1);
                const microseconds apart = insideGap(milliseconds(4 * (s >> 4)));
                deliverSplit(pkt, at, apart);
                break;
            }
            default: {  // paced, with the bytes further apart
                const std::uint8_t j = next();
                deliverPaced(pkt, 0, insideGap(kChar * (1 + (j & 7))));
                break;
            }
        }
        drop_ = 0;
    }

    void gap(unsigned p) {
        const auto quiet = std::chrono::duration_cast<microseconds>(framer_.quiet());
        Time t = now_ + microseconds(250 * p * p);
        if (p == 31) {
            t = lastFed_ + quiet;
        } else if (p == 30) {
            t = lastFed_ + quiet - microseconds(1);
        }
        now_ = std::max(now_, t);
        idle();
    }

    // What a pause could change.
    struct Settled {
        std::size_t held;
        std::size_t discarded;
        bool synced;
        std::size_t taken;
        End end;
        bool operator==(const Settled&) const = default;
    };
    Settled settled() const {
        return {framer_.held(), framer_.discarded(), framer_.synced(), got_.size(),
                ends_.empty() ? End::open : ends_.back()};
    }

    // The transport sleeps until settleAt() when nothing arrives: before then, a pause must
    // settle nothing.
    void idle() {
        take();
        const Settled before = settled();
        const bool due = now_ >= framer_.settleAt();
        framer_.idle(now_);
        take();
        if (!due) {
            require(settled() == before, "a pause settled something before settleAt()");
        }
    }

    void junk(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            const std::uint8_t b = next();
            if (!mode_.lossless) {
                now_ += kChar;
                feed(b, -1, 0, now_);
            }
        }
    }

    void deliverPaced(const Packet& pkt, std::size_t from, microseconds step) {
        const int index = static_cast<int>(sent_.size());
        sent_.push_back({pkt, {}, {}});
        now_ += kChar;
        Time t = now_;
        for (std::size_t k = from; k < kSize; ++k) {
            deliverByte(pkt, index, k, t);
            if (k + 1 < kSize) {
                t += step;
            }
        }
        now_ = t;
    }

    void deliverSplit(const Packet& pkt, std::size_t at, microseconds apart) {
        const int index = static_cast<int>(sent_.size());
        sent_.push_back({pkt, {}, {}});
        now_ += kChar;
        for (std::size_t k = 0; k < kSize; ++k) {
            deliverByte(pkt, index, k, k < at ? now_ : now_ + apart);
        }
        now_ += apart;
    }

    void deliverByte(const Packet& pkt, int index, std::size_t k, Time t) {
        Sent& s = sent_[static_cast<std::size_t>(index)];
        if (k == 0) {
            s.first = t;
        }
        if (k == kSize - 1) {
            s.last = t;
        }
        if ((drop_ & (1u << k)) != 0) {
            return;
        }
        feed(pkt[k], index, k, t);
    }

    void feed(std::uint8_t b, int index, std::size_t k, Time t) {
        fed_.push_back({b, t, index, k, segment_});
        lastFed_ = t;
        framer_.feed(b, t);
    }

    void check() {
        require(framer_.held() <= kHoldBound, "more than the hold bound in hand");
        require(framer_.quiet() >= quiet_ && framer_.quiet() <= Framer::kQuietMax,
                "the pause length shrank or passed its cap");
        quiet_ = framer_.quiet();
        if (!framer_.synced()) {
            return;
        }
        require(framer_.held() < kSize, "a whole packet left in hand while synced");
    }

    // Takes every packet ready and checks where it came from.
    void take() {
        observeEnd();
        while (auto f = framer_.next()) {
            locate(*f);
            checkSent(*f);
            got_.push_back(*f);
            ends_.push_back(End::open);
            observeEnd();
        }
    }

    // The end of the packet taken last, as far as the framer knows it now.
    void observeEnd() {
        if (ends_.empty()) {
            return;
        }
        const End e = framer_.endOfLast();
        require(ends_.back() == End::open || e == ends_.back(),
                "the end of a packet changed its mind");
        ends_.back() = e;
    }

    // Where in the stream a packet was cut from: ten consecutive bytes after the last one's,
    // with their times, all fed between the same two lose() calls.
    void locate(const Framer::Framed& f) {
        for (std::size_t i = cursor_; i + kSize <= fed_.size(); ++i) {
            bool match = fed_[i].at == f.first && fed_[i + kSize - 1].at == f.last &&
                         fed_[i].segment == fed_[i + kSize - 1].segment;
            for (std::size_t k = 0; k < kSize && match; ++k) {
                match = fed_[i + k].value == f.pkt[k];
            }
            if (match) {
                cursor_ = i + kSize;
                return;
            }
        }
        fail("a packet that is not ten consecutive bytes of the stream");
    }

    // On a lossless stream of lead-ins, a packet begins where one was sent, and is that one.
    void checkSent(const Framer::Framed& f) {
        if (!mode_.lossless || !mode_.allLeadIn) {
            return;
        }
        // The earliest place that fits may be another copy of the same bytes; any copy sent
        // whole at a boundary will do.
        for (std::size_t i = sentCursor_; i + kSize <= fed_.size(); ++i) {
            const Fed& b = fed_[i];
            if (b.offset != 0 || b.packet < 0 || b.at != f.first) {
                continue;
            }
            const Sent& s = sent_[static_cast<std::size_t>(b.packet)];
            if (s.pkt == f.pkt && s.last == f.last) {
                sentCursor_ = i + kSize;
                return;
            }
        }
        fail("on a lossless stream of lead-ins, a packet not cut where it was sent");
    }

    // Packets from `last` on were taken after the long pause at the end: their ends are known.
    void finish(std::size_t last) {
        std::size_t inPackets = got_.size() * kSize;
        require(fed_.size() == framer_.discarded() + framer_.held() + inPackets,
                "bytes fed are neither in a packet, in hand, nor passed over");
        if (!mode_.lossless || !(mode_.afterPause || mode_.allLeadIn)) {
            return;
        }
        // Whole packets only, and nothing left in doubt: after a long pause every one is
        // framed and known to end clean.
        require(framer_.held() == 0, "lossless: bytes left in hand after a long pause");
        for (std::size_t i = last; i < ends_.size(); ++i) {
            require(ends_[i] == End::clean, "lossless: an end not clean after a long pause");
        }
        if (!mode_.afterPause) {
            return;
        }
        require(got_.size() == sent_.size(), "lossless after a pause: not every packet sent");
        for (std::size_t i = 0; i < got_.size(); ++i) {
            require(got_[i].pkt == sent_[i].pkt && got_[i].first == sent_[i].first &&
                        got_[i].last == sent_[i].last,
                    "lossless after a pause: another packet than the one sent");
        }
        require(framer_.discarded() == 0, "lossless after a pause: bytes passed over");
        for (std::size_t i = 0; i < ends_.size(); ++i) {
            require(ends_[i] != End::broken, "lossless after a pause: an end found broken");
        }
        require(ends_.empty() || ends_.back() == End::clean,
                "lossless after a pause: the last end not clean after a long pause");
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    Mode mode_;
    Framer framer_;
    Time now_;
    Time lastFed_{};
    Framer::Duration quiet_{};
    unsigned drop_ = 0;
    int segment_ = 0;
    bool lastOther_ = false;
    std::size_t lastHeadAt_ = 0;
    bool pauseFirst_ = false;  // the packet just taken must follow a pause
    std::vector<Fed> fed_;
    std::vector<Sent> sent_;
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
