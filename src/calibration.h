// SPDX-License-Identifier: MIT
// The arithmetic of guided calibration: touches into corner points, corner points into the four
// calibration bounds, and the checks that decide whether those bounds may be sent. No I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace calib {

inline constexpr int kMinSamples = 1;
inline constexpr int kMaxSamples = 9;
inline constexpr int kDefaultSamples = 3;
// Raw counts; about 2% of the nominal 0..4095.
inline constexpr std::int32_t kDefaultMisclick = 80;
// Rounds of four corners before disagreeing corners end the calibration.
inline constexpr int kMaxRounds = 3;

// A target's point. Coordinates are exact: whole counts, or halves where a median of an even
// number of touches falls between two of them.
struct Point {
    double x = 0;
    double y = 0;
};

// What became of one touch.
enum class Take {
    counted,  // part of the most promising group so far; more touches needed
    dropped,  // not in the best cluster (see below): ask for another
    done,     // completes a group: point() is the target's point
    failed,   // twice the samples taken and still no group: the round fails
};

// Collects the touches for one target.
//
// A group is `samples` touches that all lie within `misclick` counts of the group's own
// per-axis median, on both axes (for an even count the median is the mean of the two middle
// values). The target's point is the median of the group.
//
// Whether a touch is dropped is judged against every touch of the round, dropped ones
// included: after each touch the collector picks the best cluster, a set of at most `samples`
// touches that is itself a group of its size (all within `misclick` of its own median). Best
// is the largest; among equally large ones the tightest (smallest distance from the median to
// its farthest coordinate); among those the one whose touches came first. A cluster of
// `samples` touches is the group. Otherwise the newest touch counts when it is in the best
// cluster and is dropped when it is not. So a stray touch that came first is not held against
// the good ones after it: as soon as two of them agree they outweigh it. A dropped touch is
// counted again when later touches make it part of the best cluster. The outcome depends on
// nothing but the touches and their order.
class SampleCollector {
  public:
    // samples: kMinSamples..kMaxSamples; misclick: 0 or more.
    SampleCollector(int samples, std::int32_t misclick);

    // Not to be called again after done or failed.
    Take add(std::int32_t x, std::int32_t y);

    // The target's point once add() returned done.
    Point point() const { return point_; }
    // Touches in the best cluster, at most samples(): "2 of 3".
    int counted() const { return counted_; }
    // Touches taken this round; the round fails after 2 * samples() of them.
    int touches() const { return static_cast<int>(xs_.size()); }
    int samples() const { return samples_; }

  private:
    int samples_;
    std::int32_t misclick_;
    std::vector<std::int32_t> xs_;
    std::vector<std::int32_t> ys_;
    int counted_ = 0;
    bool finished_ = false;
    Point point_;
};

// The targets, in the order they are asked for.
enum class Corner { topLeft, topRight, bottomRight, bottomLeft };
inline constexpr std::array<Corner, 4> kCorners = {Corner::topLeft, Corner::topRight,
                                                   Corner::bottomRight, Corner::bottomLeft};

// "TOP LEFT" ...
const char* cornerName(Corner c);
// "Touch the TOP LEFT corner of the screen (1 of 4)", without a line end.
std::string touchPrompt(Corner c);

// The pairs of corners that must agree: left and right in x, top and bottom in y.
enum class Edge { left, right, top, bottom };
inline constexpr std::array<Edge, 4> kEdges = {Edge::left, Edge::right, Edge::top, Edge::bottom};

struct Bounds {
    std::int32_t xlow = 0;
    std::int32_t xhigh = 0;
    std::int32_t ylow = 0;
    std::int32_t yhigh = 0;
};

// The verdict on four corner points, indexed by Corner.
//
// Checks, in this order:
// - swapped: moving along the top edge changes y by more than x. The remaining checks mean
//   nothing then, and are not made.
// - agreement: the span of x is |mean of the right corners' x - mean of the left corners' x|,
//   the span of y is |mean of the top corners' y - mean of the bottom corners' y|. Both left
//   corners must lie within a tenth of the x span of each other in x, and so must both right
//   corners; the top and bottom pairs likewise in y. Exactly a tenth still agrees.
// - flat: an axis whose two bounds come out equal after rounding gives the controller no range
//   to scale by, whatever the agreement said.
// - inverted: right x below left x, or top y below bottom y. Allowed: the bounds are sent as
//   measured.
//
// The bounds are always worked out, but are fit to send only when usable(). Each is the mean of
// two corners rounded to the nearest whole count, halves away from zero (2.5 gives 3, -2.5
// gives -3), so that a mirrored panel gives mirrored bounds. Counts in 0..65535, as a touch
// report carries them, give bounds in that range.
struct CornerCheck {
    bool swapped = false;
    std::array<bool, 4> disagree{};  // indexed by Edge
    bool flatX = false;
    bool flatY = false;
    bool invertedX = false;
    bool invertedY = false;
    // The figures the checks used, for the messages.
    double spanX = 0;
    double spanY = 0;
    Bounds bounds;

    bool disagrees() const { return disagree[0] || disagree[1] || disagree[2] || disagree[3]; }
    bool usable() const { return !swapped && !disagrees() && !flatX && !flatY; }
};

CornerCheck checkCorners(const std::array<Point, 4>& corners);

// One line per finding, each ending in a line end; empty when there is nothing to say.
// Findings that stop the calibration come first, notes on inverted axes last.
std::string describeFindings(const std::array<Point, 4>& corners, const CornerCheck& check);

// The options that set this calibration: "--xlow 195 --xhigh 3885 --ylow 175 --yhigh 3905".
std::string calibrationOptions(const Bounds& b);

}  // namespace calib

// What the command line asks of a guided calibration.
inline constexpr int kDefaultTouchTimeoutS = 30;
inline constexpr int kMaxTouchTimeoutS = 3600;

struct CalibrationRequest {
    int samples = calib::kDefaultSamples;             // touches per corner
    std::int32_t misclick = calib::kDefaultMisclick;  // raw counts
    int touchTimeoutS = kDefaultTouchTimeoutS;        // for each touch
    bool dryRun = false;                              // measure and print, send nothing
};
