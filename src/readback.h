// SPDX-License-Identifier: MIT
// Reading back what the controller holds, and checking it against what was sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings.h"

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

// A value that did not read back as it was sent: group and field as the settings are named in
// JSON. read is empty when the group could not be read back.
struct Difference {
    const char* group;
    const char* field;
    unsigned wanted;
    std::optional<unsigned> read;
};

// What differs between what was sent and what came back, one record per value. Only the values
// named in mask count; for the mode each flag byte does. Of a group that could not be read back,
// every value that was sent is a difference.
std::vector<Difference> compareFilter(const FilterParams& sent, std::uint32_t mask,
                                      const std::optional<FilterParams>& held);
std::vector<Difference> compareReport(const ReportParams& sent, std::uint32_t mask,
                                      const std::optional<ReportParams>& held);
std::vector<Difference> compareMode(const ModeFlags& sent, const std::optional<ModeFlags>& held);

// The same as message lines for people (without the newline): a group that could not be read
// back is one line, and so is a mode that differs.
std::vector<std::string> filterDifferences(const FilterParams& sent, std::uint32_t mask,
                                           const std::optional<FilterParams>& held);
std::vector<std::string> reportDifferences(const ReportParams& sent, std::uint32_t mask,
                                           const std::optional<ReportParams>& held);
std::vector<std::string> modeDifferences(const ModeFlags& sent,
                                         const std::optional<ModeFlags>& held);
