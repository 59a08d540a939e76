// SPDX-License-Identifier: MIT
// A pseudo-terminal pair standing in for the controller's serial line: the code under test
// opens the slave by its path, the test plays the controller on the master.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "io.h"
#include "packet.h"

using Bytes = std::vector<std::uint8_t>;

// Packets back to back, as one write puts them on the line.
Bytes join(std::initializer_list<Packet> packets);
// The first n bytes of a packet: a reply cut short.
Bytes head(const Packet& pkt, std::size_t n);

// The settings the line has before the tool opens it: raw (so nothing is echoed back to the
// controller) but otherwise unlike the packet line.
termios initialLine();

bool sameLine(const termios& a, const termios& b);

class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    // The test's own descriptor on the line, apart from the one the code under test opens.
    int slave() const { return slave_; }
    const char* path() const { return path_.c_str(); }
    termios line() const;

    // Writes bytes to the line as the controller and waits until they are in the input queue.
    void sendQueued(const Bytes& bytes) const;
    void closeMaster();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// One exchange of the script: what the controller answers to the packet it has just read.
struct Step {
    Bytes reply;
    bool hangUp = false;  // then closes its end of the line
};

// Plays the controller in a thread of its own: reads every packet sent and answers the i-th
// with the i-th step. Packets past the script are recorded and left unanswered.
class Controller {
  public:
    Controller(Pty& pty, std::vector<Step> script);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Waits until the line has been quiet for a moment; returns every packet received.
    std::vector<Packet> finish();

  private:
    void run();

    Pty& pty_;
    std::vector<Step> script_;
    std::vector<Packet> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port open on a fresh line. Replies are bounded short so that silence is cheap, but not so
// short that a loaded machine misses them.
class PanelLine : public ::testing::Test {
  protected:
    static constexpr int kShortTimeoutMs = 600;

    void SetUp() override;
    void TearDown() override;
    int fd() const { return port_.fd(); }

    Pty pty_;
    Port port_;
};
