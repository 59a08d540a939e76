// SPDX-License-Identifier: MIT
// Reading back what the controller holds, and checking it against what was sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings.h"

struct Options;
class Transport;

// The groups the controller can be asked for; one that could not be read is empty. Scaling
// and calibration have no query.
struct HeldSettings {
    std::optional<FilterParams> filter;
    std::optional<ReportParams> report;
    std::optional<ModeFlags> mode;

    bool complete() const { return filter && report && mode; }
};

// Queries the controller one group at a time. Once the device is gone nothing more is sent
// and every further group comes back empty.
class Readback {
  public:
    explicit Readback(Transport& t) : t_(t) {}

    std::optional<FilterParams> filter();
    std::optional<ReportParams> report();
    std::optional<ModeFlags> mode();
    HeldSettings all();

    bool gone() const { return gone_; }

  private:
    // Sends the query and takes its reply into pkt; false (reported) when there is no reply to
    // use.
    bool ask(std::uint8_t queryLetter, int trailers, Packet& pkt);

    Transport& t_;
    bool gone_ = false;
};

// What differs between what was sent and what came back, one message line each (without the
// newline). Only the values named in mask count; for the mode both flag bytes do. A group that
// could not be read back is one difference.
std::vector<std::string> filterDifferences(const FilterParams& sent, std::uint32_t mask,
                                           const std::optional<FilterParams>& held);
std::vector<std::string> reportDifferences(const ReportParams& sent, std::uint32_t mask,
                                           const std::optional<ReportParams>& held);
std::vector<std::string> modeDifferences(const ModeFlags& sent,
                                         const std::optional<ModeFlags>& held);

// Reads back each group opts had written and prints every difference on standard error.
// True when everything read back as sent. Stops, silent, on a stop signal.
bool verifySettings(Readback& readback, const Options& opts);
