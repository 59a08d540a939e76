// SPDX-License-Identifier: MIT
// A line for tests, on a clock of its own: byte chunks that become readable at set times, and
// a responder that sees every packet written and may add to the script. Nothing waits for real.
#pragma once

#include <errno.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "line.h"
#include "packet.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::initializer_list<Packet> packets) {
    Bytes out;
    for (const Packet& p : packets) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class ScriptedLine : public Line {
  public:
    // Sees each packet as its tenth byte is written.
    using Responder = std::function<void(ScriptedLine&, const Packet&)>;

    explicit ScriptedLine(Responder responder = {}) : responder_(std::move(responder)) {}

    // Bytes handed over together, `after` from now.
    void at(Duration after, const Bytes& bytes) { add({now_ + after, bytes}); }
    // One byte per byte time from `after` on, as a 9600-baud line without a FIFO hands them over.
    void paced(Duration after, const Bytes& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            add({now_ + after + static_cast<int>(i) * kByteTime, {bytes[i]}});
        }
    }
    // From `after` on, every read ends the file (err 0) or fails with err.
    void hangUp(Duration after, int err = 0) { add({now_ + after, {}, true, err}); }
    void stopAt(Duration after) { stopAt_ = now_ + after; }
    // Writes from now on take no more than n bytes; -1: all of them. ETIMEDOUT when 0.
    void takeOnly(long n) { takeOnly_ = n; }

    std::vector<Packet> written;

    Time now() override { return now_; }

    Wake wait(Time until, bool stoppable, int& /*err*/) override {
        const Time next = script_.empty() ? kNever : script_.front().at;
        const Time stop = stoppable ? stopAt_ : kNever;
        // Nothing more will ever come: what a real wait would do for ever, a stop ends here.
        const Time wake = std::min({until, next, stop});
        if (wake == kNever) {
            return Wake::stopped;
        }
        now_ = std::max(now_, wake);
        if (next <= now_) {
            return Wake::readable;
        }
        return stop <= now_ ? Wake::stopped : Wake::timeout;
    }

    Io read(std::uint8_t* buf, std::size_t size) override {
        std::size_t n = 0;
        while (!script_.empty() && script_.front().at <= now_) {
            Chunk& c = script_.front();
            if (c.end) {
                return n > 0 ? Io{static_cast<long>(n), 0} : Io{c.err != 0 ? -1 : 0, c.err};
            }
            const std::size_t take = std::min(size - n, c.bytes.size());
            std::copy_n(c.bytes.begin(), take, buf + n);
            n += take;
            c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(take));
            if (!c.bytes.empty()) {
                break;
            }
            script_.erase(script_.begin());
        }
        return n > 0 ? Io{static_cast<long>(n), 0} : Io{-1, EAGAIN};
    }

    Io write(const std::uint8_t* bytes, std::size_t size, Time until, bool /*stoppable*/) override {
        if (takeOnly_ == 0) {
            now_ = std::max(now_, until);
            return {-1, ETIMEDOUT};
        }
        const std::size_t n = takeOnly_ < 0 ? size : std::min(size, std::size_t(takeOnly_));
        out_.insert(out_.end(), bytes, bytes + n);
        while (out_.size() >= 10) {
            Packet p{};
            std::copy_n(out_.begin(), 10, p.begin());
            out_.erase(out_.begin(), out_.begin() + 10);
            written.push_back(p);
            if (responder_) {
                responder_(*this, p);
            }
        }
        return {static_cast<long>(n), 0};
    }

    bool stopPending() override { return now_ >= stopAt_; }

  private:
    struct Chunk {
        Time at;
        Bytes bytes;
        bool end = false;
        int err = 0;
    };

    void add(Chunk c) {
        auto pos = std::upper_bound(script_.begin(), script_.end(), c.at,
                                    [](Time t, const Chunk& x) { return t < x.at; });
        script_.insert(pos, std::move(c));
    }

    Responder responder_;
    std::vector<Chunk> script_;
    Bytes out_;
    Time now_ = Time{} + std::chrono::hours(1);
    Time stopAt_ = kNever;
    long takeOnly_ = -1;
};

// What the controller sends in answer to one packet, at times from the write.
using Piece = std::function<void(ScriptedLine&, const Packet&)>;
using Answer = std::vector<Piece>;

inline Piece once(Duration at, const Bytes& b) {
    return [at, b](ScriptedLine& l, const Packet&) { l.at(at, b); };
}
inline Piece paced(Duration at, const Bytes& b) {
    return [at, b](ScriptedLine& l, const Packet&) { l.paced(at, b); };
}
inline Piece echo(Duration at = std::chrono::microseconds(100)) {
    return [at](ScriptedLine& l, const Packet& p) { l.at(at, Bytes(p.begin(), p.end())); };
}
inline Piece hangUp(Duration at = {}, int err = 0) {
    return [at, err](ScriptedLine& l, const Packet&) { l.hangUp(at, err); };
}

// Answers the i-th packet written with answers[i]; later ones go unanswered.
inline ScriptedLine::Responder answering(std::vector<Answer> answers) {
    return [answers = std::move(answers), i = std::size_t{0}](ScriptedLine& l,
                                                              const Packet& p) mutable {
        for (const Piece& piece : i < answers.size() ? answers[i] : Answer{}) {
            piece(l, p);
        }
        ++i;
    };
}
