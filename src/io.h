// SPDX-License-Identifier: MIT
// The serial port: exclusive open, the fixed raw line, and putting the line back.
#pragma once

#include <signal.h>
#include <termios.h>

#include "timing.h"

// Owns the port descriptor and the line settings it had before we touched it. Destruction
// restores those settings and closes the descriptor, on every path out of the run.
class Port {
  public:
    Port() = default;
    Port(int fd, const termios& saved) : fd_(fd), saved_(saved) {}
    Port(Port&& other) noexcept;
    Port& operator=(Port&& other) noexcept;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { close(); }

    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    const termios& saved() const { return saved_; }
    // The driver's serial flags to put back at close (low latency was asked for).
    void saveSerialFlags(int flags) { serialFlags_ = flags; }
    // How long a pause must be on this line to prove a packet boundary (see Framer).
    Duration quiet() const { return quiet_; }
    void setQuiet(Duration quiet) { quiet_ = quiet; }

    // Restores the saved settings and closes; false if either failed. Never retried.
    bool close();

  private:
    int fd_ = -1;
    termios saved_{};
    int serialFlags_ = -1;  // none saved
    Duration quiet_{};
};

inline constexpr const char* kDevicePath = "/dev/tpanel";

// On failure prints one message starting "openPanel: " and returns an empty Port.
Port openPanel(const char* device);
// Puts the line back and closes it; false (reported) when that failed. A device that is gone
// cannot take its settings back: then nothing is said.
bool closePanel(Port& port, bool gone);

// The settings the line must have while we talk to the controller.
termios panelLine();
// True when the settings that matter for the packet transport are those of panelLine().
bool isPanelLine(const termios& t);

// Opens any of descriptors 0, 1, 2 that is closed on /dev/null; writes to a standard output
// that was closed still fail (EBADF).
void ensureStandardDescriptors();

// SIGINT, SIGTERM, SIGHUP and SIGQUIT end the run cleanly. While installed they are blocked except
// during the waits for input, so a signal can only be taken between packets, never halfway.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// The stop signal received or pending, or 0.
int pendingStop();
// The signal mask to wait with: stop signals open when installed, else null (leave it as is).
const sigset_t* stopWaitMask();
