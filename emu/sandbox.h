// SPDX-License-Identifier: MIT
// Running a command that finds the emulator's terminal at /dev/tpanel.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace emu {

inline constexpr int kStatusNoNamespace = 77;
inline constexpr int kStatusEmulatorFailed = 125;
inline constexpr int kStatusCannotRun = 126;
inline constexpr int kStatusNotFound = 127;

struct Launch {
    pid_t pid = -1;
    int failStatus = 0;  // when pid is -1: the status to exit with; the reason is printed
};

// Starts command in a private mount namespace whose /dev holds the terminal slavePath as
// "tpanel", and /dev/null with a few other harmless nodes of the real /dev. Uses a user
// namespace when a plain one is not permitted. Without privateDev the command runs as it is,
// in our own namespace. The child starts with childMask as its signal mask and every signal
// at its default action.
Launch launchCommand(const char* slavePath, const std::vector<std::string>& command,
                     const sigset_t& childMask, bool privateDev);

// The command's process, for as long as its pid is ours to signal: once it has been reaped
// the pid may already belong to another process, so nothing is sent after that.
class CommandProcess {
  public:
    explicit CommandProcess(pid_t pid) : pid_(pid) {}

    // False, sending nothing, when there is no command or it has been reaped.
    bool signal(int sig);
    // Reaps the command if it has ended; true with its wait status then.
    bool reap(int& status);
    bool exists() const { return pid_ > 0; }

  private:
    pid_t pid_;
};

}  // namespace emu
