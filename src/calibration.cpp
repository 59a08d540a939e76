// SPDX-License-Identifier: MIT
#include "calibration.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstddef>

namespace calib {

namespace {

// Corners agree when they differ by at most the span divided by this.
constexpr int kAgreementDivisor = 10;

// Sorts values[0..n) in place and returns their median.
double medianInPlace(std::int32_t* values, std::size_t n) {
    assert(n > 0);
    std::sort(values, values + n);
    const std::size_t upper = n / 2;
    if (n % 2 == 1) {
        return values[upper];
    }
    // Exact: the sum of two 32-bit counts and its half are representable.
    return (static_cast<double>(values[upper - 1]) + static_cast<double>(values[upper])) / 2;
}

// How far the farthest of the picked values lies from their median.
double spreadOf(const std::vector<std::int32_t>& axis, const int* pick, std::size_t n,
                double& median) {
    std::array<std::int32_t, kMaxSamples> v{};
    std::int32_t lo = axis[static_cast<std::size_t>(pick[0])];
    std::int32_t hi = lo;
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = axis[static_cast<std::size_t>(pick[i])];
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    median = medianInPlace(v.data(), n);
    return std::max(median - lo, hi - median);
}

// Finds the best cluster of exactly `size` touches: the tightest whose spread is within the
// threshold on both axes, the earliest among equally tight ones. Candidates are walked in
// lexicographic order of their touch numbers, and only a strictly tighter one replaces the one
// held, which makes the earliest win a tie. Two touches farther than twice the threshold apart
// on either axis can never share a median within the threshold of both, so such pairs prune
// the walk; at most 2 * kMaxSamples touches keep the rest small.
class ClusterSearch {
  public:
    ClusterSearch(const std::vector<std::int32_t>& xs, const std::vector<std::int32_t>& ys,
                  std::int32_t misclick)
        : xs_(xs), ys_(ys), misclick_(misclick) {
        const std::size_t n = xs.size();
        near_.assign(n * n, false);
        const std::int64_t reach = 2 * static_cast<std::int64_t>(misclick);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const std::int64_t dx = std::int64_t{xs[i]} - std::int64_t{xs[j]};
                const std::int64_t dy = std::int64_t{ys[i]} - std::int64_t{ys[j]};
                near_[i * n + j] = std::abs(dx) <= reach && std::abs(dy) <= reach;
            }
        }
    }

    bool find(int size) {
        size_ = static_cast<std::size_t>(size);
        found_ = false;
        walk(0, 0);
        return found_;
    }

    const int* best() const { return best_.data(); }
    Point bestPoint() const { return bestPoint_; }

  private:
    void walk(std::size_t depth, std::size_t from) {
        const std::size_t n = xs_.size();
        if (depth == size_) {
            consider();
            return;
        }
        for (std::size_t i = from; i + (size_ - depth) <= n; ++i) {
            bool fits = true;
            for (std::size_t p = 0; p < depth && fits; ++p) {
                fits = near_[i * n + static_cast<std::size_t>(pick_[p])];
            }
            if (fits) {
                pick_[depth] = static_cast<int>(i);
                walk(depth + 1, i + 1);
            }
        }
    }

    void consider() {
        Point m;
        const double spread = std::max(spreadOf(xs_, pick_.data(), size_, m.x),
                                       spreadOf(ys_, pick_.data(), size_, m.y));
        if (spread > misclick_ || (found_ && spread >= bestSpread_)) {
            return;
        }
        found_ = true;
        bestSpread_ = spread;
        best_ = pick_;
        bestPoint_ = m;
    }

    const std::vector<std::int32_t>& xs_;
    const std::vector<std::int32_t>& ys_;
    std::int32_t misclick_;
    std::vector<bool> near_;
    std::size_t size_ = 0;
    std::array<int, kMaxSamples> pick_{};
    bool found_ = false;
    double bestSpread_ = 0;
    std::array<int, kMaxSamples> best_{};
    Point bestPoint_;
};

// Nearest whole count, halves away from zero. Means of corner points are exact quarters.
std::int32_t roundCount(double v) {
    return static_cast<std::int32_t>(std::lround(v));
}

// Shortest text that reads back as the same number: 195, 195.5, 369.025.
std::string number(double v) {
    std::array<char, 32> buf{};
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    return ec == std::errc{} ? std::string(buf.data(), end) : std::string("?");
}

std::string number(std::int32_t v) {
    return std::to_string(v);
}

struct EdgeParts {
    const char* name;
    Corner a;
    Corner b;
    bool alongX;  // the pair must agree in x (left, right) or in y (top, bottom)
};

EdgeParts partsOf(Edge e) {
    switch (e) {
        case Edge::left:
            return {"left", Corner::topLeft, Corner::bottomLeft, true};
        case Edge::right:
            return {"right", Corner::topRight, Corner::bottomRight, true};
        case Edge::top:
            return {"top", Corner::topLeft, Corner::topRight, false};
        case Edge::bottom:
            break;
    }
    return {"bottom", Corner::bottomLeft, Corner::bottomRight, false};
}

const Point& cornerAt(const std::array<Point, 4>& corners, Corner c) {
    return corners[static_cast<std::size_t>(c)];
}

}  // namespace

SampleCollector::SampleCollector(int samples, std::int32_t misclick)
    : samples_(samples), misclick_(misclick) {
    assert(samples >= kMinSamples && samples <= kMaxSamples);
    assert(misclick >= 0);
    xs_.reserve(2 * static_cast<std::size_t>(samples));
    ys_.reserve(2 * static_cast<std::size_t>(samples));
}

Take SampleCollector::add(std::int32_t x, std::int32_t y) {
    assert(!finished_);
    xs_.push_back(x);
    ys_.push_back(y);
    const int taken = touches();

    // A single touch is a cluster of one, so the search stops at size 1 at the latest.
    ClusterSearch search(xs_, ys_, misclick_);
    int size = std::min(samples_, taken);
    while (size > 0 && !search.find(size)) {
        --size;
    }
    counted_ = size;
    if (size == samples_) {
        finished_ = true;
        point_ = search.bestPoint();
        return Take::done;
    }
    if (taken >= 2 * samples_) {
        finished_ = true;
        return Take::failed;
    }
    const int* best = search.best();
    const bool newestIn = std::find(best, best + size, taken - 1) != best + size;
    return newestIn ? Take::counted : Take::dropped;
}

const char* cornerName(Corner c) {
    switch (c) {
        case Corner::topLeft:
            return "TOP LEFT";
        case Corner::topRight:
            return "TOP RIGHT";
        case Corner::bottomRight:
            return "BOTTOM RIGHT";
        case Corner::bottomLeft:
            break;
    }
    return "BOTTOM LEFT";
}

std::string touchPrompt(Corner c) {
    return std::string("Touch the ") + cornerName(c) + " corner of the screen (" +
           std::to_string(static_cast<int>(c) + 1) + " of " + std::to_string(kCorners.size()) + ")";
}

CornerCheck checkCorners(const std::array<Point, 4>& corners) {
    const Point& tl = cornerAt(corners, Corner::topLeft);
    const Point& tr = cornerAt(corners, Corner::topRight);
    const Point& br = cornerAt(corners, Corner::bottomRight);
    const Point& bl = cornerAt(corners, Corner::bottomLeft);

    // Sums of two exact halves halved again: exact quarters, so nothing below is approximate.
    const double left = (tl.x + bl.x) / 2;
    const double right = (tr.x + br.x) / 2;
    const double top = (tl.y + tr.y) / 2;
    const double bottom = (bl.y + br.y) / 2;

    CornerCheck c;
    c.bounds = {roundCount(left), roundCount(right), roundCount(bottom), roundCount(top)};
    c.swapped = std::abs(tr.y - tl.y) > std::abs(tr.x - tl.x);
    if (c.swapped) {
        return c;
    }
    c.spanX = std::abs(right - left);
    c.spanY = std::abs(top - bottom);
    for (Edge e : kEdges) {
        const EdgeParts p = partsOf(e);
        const Point& a = cornerAt(corners, p.a);
        const Point& b = cornerAt(corners, p.b);
        const double apart = p.alongX ? std::abs(a.x - b.x) : std::abs(a.y - b.y);
        // Multiplied rather than divided, so that exactly a tenth compares exactly.
        c.disagree[static_cast<std::size_t>(e)] =
            apart * kAgreementDivisor > (p.alongX ? c.spanX : c.spanY);
    }
    c.flatX = c.bounds.xlow == c.bounds.xhigh;
    c.flatY = c.bounds.ylow == c.bounds.yhigh;
    c.invertedX = right < left;
    c.invertedY = top < bottom;
    return c;
}

std::string describeFindings(const std::array<Point, 4>& corners, const CornerCheck& check) {
    std::string out;
    if (check.swapped) {
        const Point& tl = cornerAt(corners, Corner::topLeft);
        const Point& tr = cornerAt(corners, Corner::topRight);
        out +=
            "The X and Y axes are swapped: from the top left corner to the top right one, y "
            "changed by " +
            number(std::abs(tr.y - tl.y)) + " and x by only " + number(std::abs(tr.x - tl.x)) +
            ".\n";
        out +=
            "The controller cannot swap axes: swap the X and Y wires, or use the input "
            "stack's calibration matrix.\n";
        out += "With --bridge, --swap-xy swaps them back for the input device.\n";
        return out;
    }
    for (Edge e : kEdges) {
        if (!check.disagree[static_cast<std::size_t>(e)]) {
            continue;
        }
        const EdgeParts p = partsOf(e);
        const Point& a = cornerAt(corners, p.a);
        const Point& b = cornerAt(corners, p.b);
        const char* axis = p.alongX ? "x" : "y";
        const double span = p.alongX ? check.spanX : check.spanY;
        out += std::string("The ") + p.name + " corners disagree in " + axis + ": " +
               number(p.alongX ? a.x : a.y) + " and " + number(p.alongX ? b.x : b.y) +
               " are more than " + number(span / kAgreementDivisor) + " apart (a tenth of the " +
               axis + " span, " + number(span) + ").\n";
    }
    if (check.flatX) {
        out += "The corners do not spread in x: xlow and xhigh would both be " +
               number(check.bounds.xlow) + ".\n";
    }
    if (check.flatY) {
        out += "The corners do not spread in y: ylow and yhigh would both be " +
               number(check.bounds.ylow) + ".\n";
    }
    if (check.invertedX) {
        out += "The x axis is inverted: the right side reads lower than the left.\n";
        out +=
            "The measured bounds turn it round; --bridge given them low to high needs "
            "--invert-x.\n";
    }
    if (check.invertedY) {
        out += "The y axis is inverted: the top reads lower than the bottom.\n";
        out +=
            "The measured bounds turn it round; --bridge given them low to high needs "
            "--invert-y.\n";
    }
    return out;
}

std::string calibrationOptions(const Bounds& b) {
    return "--xlow " + number(b.xlow) + " --xhigh " + number(b.xhigh) + " --ylow " +
           number(b.ylow) + " --yhigh " + number(b.yhigh);
}

}  // namespace calib
