// SPDX-License-Identifier: MIT
// Touches into target points, and corner points into checked calibration bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "calibration.h"

namespace {

using calib::CornerCheck;
using calib::Edge;
using calib::Point;
using calib::SampleCollector;
using calib::Take;

// One touch and what the collector must make of it: its verdict and counted() after it.
struct Step {
    std::int32_t x;
    std::int32_t y;
    Take take;
    int counted;
};

// "X,Y" then the verdict, + counted, - dropped, = done, ! failed, then counted() after it.
std::vector<Step> steps(const char* script) {
    std::vector<Step> out;
    Step s{};
    char verdict = 0;
    int used = 0;
    while (std::sscanf(script, " %d,%d%c%d%n", &s.x, &s.y, &verdict, &s.counted, &used) == 4) {
        s.take = verdict == '+'   ? Take::counted
                 : verdict == '-' ? Take::dropped
                 : verdict == '=' ? Take::done
                                  : Take::failed;
        out.push_back(s);
        script += used;
    }
    return out;
}

struct CollectCase {
    int samples;
    std::int32_t misclick;
    const char* steps;
    Point point;  // when the last step is done
};

TEST(SampleCollector, GroupsMisclicksAndFailures) {
    const CollectCase cases[] = {
        // One sample: every touch is a group.
        {1, 80, "1234,567=1", {1234, 567}},
        // Three clean touches.
        {3, 80, "100,200+1 110,190+2 105,210=3", {105, 200}},
        // X exactly the threshold from the median.
        {3, 80, "1000,1000+1 1000,1000+2 1080,1000=3", {1000, 1000}},
        // X one count over, then a good touch.
        {3, 80, "1000,1000+1 1000,1000+2 1081,1000-2 1000,1000=3", {1000, 1000}},
        // Y exactly the threshold below the median.
        {3, 80, "1000,1000+1 1000,1000+2 1000,920=3", {1000, 1000}},
        // Y one count over, x right on.
        {3, 80, "1000,1000+1 1000,1000+2 1000,919-2", {}},
        // The threshold is measured from the group's median, not from the first touch.
        {3, 80, "0,0+1 80,0+2 160,0=3", {80, 0}},
        // Even count: the median between the middle two, at the threshold.
        {2, 80, "0,0+1 160,0=2", {80, 0}},
        // Even count one over; the later group is the tighter of two.
        {2, 80, "0,0+1 161,0-1 1,0=2", {0.5, 0}},
        // A dropped touch counts again once another joins it.
        {4, 81, "0,0+1 0,0+2 161,0-2 161,0=4", {80.5, 0}},
        // A stray first touch is outweighed as soon as two agree.
        {3, 80, "3000,3000+1 100,100-1 110,105+2 90,95=3", {100, 100}},
        // The tightest pair wins over an earlier one, the earliest of equally tight ones stays.
        {3, 80, "0,0+1 150,0+2 0,0+2 150,0-2", {}},
        // Twice the samples without a group fail.
        {3, 80, "0,0+1 1000,0-1 2000,0-1 3000,0-1 4000,0-1 5000,0!1", {}},
        // The last touch allowed may still complete the group.
        {3, 80, "0,0+1 1000,0-1 2000,0-1 3000,0-1 0,10+2 0,20=3", {0, 10}},
        // Threshold 0: only identical touches group.
        {2, 0, "5,5+1 5,6-1 5,5=2", {5, 5}},
        // Every prefix a group of its own, the last touch exactly at the limit; a stray second
        // touch does not hold the group up.
        {9,
         80,
         "2000,2000+1 2020,1980+2 4000,100-2 1980,2020+3 2040,1960+4 1960,2040+5 2060,1940+6 "
         "1940,2060+7 2080,1920+8 1920,2080=9",
         {2000, 2000}},
        // Two spots 160 apart: balanced groups sit on the midpoint at the limit, unbalanced
        // ones have the other spot 160 from their median; eight on one spot are the tightest,
        // and nine complete the group. Also the most work a round can ask of the search: every
        // pair of touches is close enough to be tried together.
        {9,
         80,
         "0,0+1 160,0+2 0,0+2 160,0+4 0,0-4 160,0+6 0,0-6 160,0+8 0,0-8 160,0-8 0,0-8 160,0-8 "
         "0,0-8 160,0-8 0,0+8 160,0-8 0,0=9",
         {0, 0}},
    };
    for (const CollectCase& c : cases) {
        SCOPED_TRACE(c.steps);
        const std::vector<Step> got = steps(c.steps);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(
                                  std::count(c.steps, c.steps + std::strlen(c.steps), ',')));
        SampleCollector collector(c.samples, c.misclick);
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("touch " + std::to_string(i + 1));
            EXPECT_EQ(collector.add(got[i].x, got[i].y), got[i].take);
            EXPECT_EQ(collector.counted(), got[i].counted);
            EXPECT_EQ(collector.touches(), static_cast<int>(i + 1));
        }
        if (got.back().take == Take::done) {
            EXPECT_EQ(collector.point().x, c.point.x);
            EXPECT_EQ(collector.point().y, c.point.y);
        }
    }
}

std::array<Point, 4> box(Point tl, Point tr, Point br, Point bl) {
    return {tl, tr, br, bl};
}

// Every field the caller acts on, so that a case fails on anything it did not expect.
std::string summary(const CornerCheck& c) {
    std::ostringstream s;
    if (c.swapped) {
        s << "swapped ";
    }
    const char* edges[] = {"left", "right", "top", "bottom"};
    for (Edge e : calib::kEdges) {
        if (c.disagree[static_cast<std::size_t>(e)]) {
            s << "disagree:" << edges[static_cast<std::size_t>(e)] << " ";
        }
    }
    if (c.flatX) {
        s << "flat:x ";
    }
    if (c.flatY) {
        s << "flat:y ";
    }
    if (c.invertedX) {
        s << "inverted:x ";
    }
    if (c.invertedY) {
        s << "inverted:y ";
    }
    s << (c.usable() ? "usable " : "unusable ");
    s << c.bounds.xlow << " " << c.bounds.xhigh << " " << c.bounds.ylow << " " << c.bounds.yhigh;
    return s.str();
}

struct CornerCase {
    const char* what;
    std::array<Point, 4> corners;
    std::string summary;
};

const CornerCase kCornerCases[] = {
    // Swapped axes: y changes at least as much as x along the top edge.
    {"top edge moves x and y alike: not swapped", box({0, 1000}, {1000, 2000}, {1000, 0}, {0, 0}),
     "disagree:top unusable 0 1000 0 1500"},
    {"top edge moves y half a count more than x: swapped, nothing else judged",
     box({0, 1000}, {1000, 2000.5}, {1000, 0}, {0, 0}), "swapped unusable 0 1000 0 1500"},
    {"a swapped panel, x falling along the top edge",
     box({3905, 195}, {3800, 3885}, {195, 3885}, {195, 195}),
     "swapped unusable 2050 1998 2040 2040"},
    // Agreement: a tenth of the span, exactly, agrees; any more disagrees.
    {"left corners exactly a tenth of the x span apart",
     box({100, 1000}, {520, 1000}, {520, 0}, {140, 0}), "usable 120 520 0 1000"},
    {"left corners just over a tenth", box({100, 1000}, {520, 1000}, {519.5, 0}, {140, 0}),
     "disagree:left unusable 120 520 0 1000"},
    {"right corners exactly a tenth", box({0, 1000}, {380, 1000}, {420, 0}, {0, 0}),
     "usable 0 400 0 1000"},
    {"right corners just over a tenth", box({0.5, 1000}, {380, 1000}, {420, 0}, {0, 0}),
     "disagree:right unusable 0 400 0 1000"},
    {"top corners exactly a tenth of the y span apart",
     box({0, 1000}, {1000, 1040}, {1000, 620}, {0, 620}), "usable 0 1000 620 1020"},
    {"top corners just over a tenth", box({0, 1000}, {1000, 1040}, {1000, 620.5}, {0, 620}),
     "disagree:top unusable 0 1000 620 1020"},
    {"bottom corners exactly a tenth", box({0, 420}, {1000, 420}, {1000, 40}, {0, 0}),
     "usable 0 1000 20 420"},
    {"bottom corners just over a tenth", box({0, 419.5}, {1000, 420}, {1000, 40}, {0, 0}),
     "disagree:bottom unusable 0 1000 20 420"},
    {"two pairs disagree at once", box({0, 1000}, {1000, 1000}, {1000, 0}, {300, 200}),
     "disagree:left disagree:bottom unusable 150 1000 100 1000"},
    // Inversion is noted and the bounds are kept as measured.
    {"x inverted", box({3885, 3905}, {195, 3905}, {195, 175}, {3885, 175}),
     "inverted:x usable 3885 195 175 3905"},
    {"y inverted", box({195, 175}, {3885, 175}, {3885, 3905}, {195, 3905}),
     "inverted:y usable 195 3885 3905 175"},
    {"both inverted", box({3885, 175}, {195, 175}, {195, 3905}, {3885, 3905}),
     "inverted:x inverted:y usable 3885 195 3905 175"},
    // Rounding: nearest count, halves away from zero.
    {"positive halves round up", box({100, 1001}, {1000, 1000}, {1000, 0}, {101, 0}),
     "usable 101 1000 0 1001"},
    {"negative halves round down", box({-1000, -1}, {-1, -2}, {-2, -1001}, {-1001, -1000}),
     "usable -1001 -2 -1001 -2"},
    {"quarters round to the nearer count, on both sides of zero",
     box({100.5, 999.5}, {1000.5, 1000}, {1001, -1}, {100, -0.5}), "usable 100 1001 -1 1000"},
    {"a quarter below zero rounds to zero", box({0, 1000}, {1000, 1000}, {1000, -0.5}, {0, 0}),
     "usable 0 1000 0 1000"},
    // An axis with no range left after rounding cannot be sent.
    {"every corner at one x", box({500, 900}, {500, 900}, {500, 100}, {500, 100}),
     "flat:x unusable 500 500 100 900"},
    {"x bounds equal only after rounding", box({500, 900}, {500.5, 900}, {500, 100}, {500, 100}),
     "disagree:right flat:x unusable 500 500 100 900"},
    {"one count of range is enough", box({500, 900}, {501, 900}, {501, 100}, {500, 100}),
     "usable 500 501 100 900"},
    {"every corner at one y", box({100, 500}, {900, 500}, {900, 500}, {100, 500}),
     "flat:y unusable 100 900 500 500"},
};

TEST(CheckCorners, SwapAgreementFlatnessInversionAndRounding) {
    for (const CornerCase& c : kCornerCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(summary(calib::checkCorners(c.corners)), c.summary);
    }
}

struct FindingsCase {
    const char* what;
    std::array<Point, 4> corners;
    std::string text;
};

TEST(CheckCorners, FindingsNameThePairAndTheFigures) {
    const FindingsCase cases[] = {
        {"swapped, with the way out", box({3905, 195}, {3800, 3885}, {195, 3885}, {195, 195}),
         "The X and Y axes are swapped: from the top left corner to the top right one, y "
         "changed by 3690 and x by only 105.\n"
         "The controller cannot swap axes: swap the X and Y wires, or use the input stack's "
         "calibration matrix.\n"
         "With --bridge, --swap-xy swaps them back for the input device.\n"},
        {"left and bottom corners", box({0, 1000}, {1000, 1000}, {1000, 0}, {300, 200}),
         "The left corners disagree in x: 0 and 300 are more than 85 apart (a tenth of the x "
         "span, 850).\n"
         "The bottom corners disagree in y: 200 and 0 are more than 90 apart (a tenth of the y "
         "span, 900).\n"},
        {"right corners and a flat x", box({500, 900}, {500.5, 900}, {500, 100}, {500, 100}),
         "The right corners disagree in x: 500.5 and 500 are more than 0.025 apart (a tenth of "
         "the x span, 0.25).\n"
         "The corners do not spread in x: xlow and xhigh would both be 500.\n"},
        {"top corners and a flat y", box({100, 500}, {900, 500.5}, {900, 500}, {100, 500}),
         "The top corners disagree in y: 500 and 500.5 are more than 0.025 apart (a tenth of "
         "the y span, 0.25).\n"
         "The corners do not spread in y: ylow and yhigh would both be 500.\n"},
        {"both axes inverted", box({3885, 175}, {195, 175}, {195, 3905}, {3885, 3905}),
         "The x axis is inverted: the right side reads lower than the left.\n"
         "The measured bounds turn it round; --bridge given them low to high needs --invert-x.\n"
         "The y axis is inverted: the top reads lower than the bottom.\n"
         "The measured bounds turn it round; --bridge given them low to high needs --invert-y.\n"},
    };
    for (const FindingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(calib::describeFindings(c.corners, calib::checkCorners(c.corners)), c.text);
    }
}

}  // namespace
