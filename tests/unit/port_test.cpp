// SPDX-License-Identifier: MIT
// Opening the port: what is no terminal, a lock held on it elsewhere, and a session leader
// without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pty.h>

#include <cstring>
#include <string>
#include <utility>

#include "io.h"

namespace {

using testing::internal::CaptureStderr;

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// A pseudo-terminal standing in for the serial line, raw but otherwise unlike the packet line.
class Pty {
  public:
    Pty() {
        termios t{};
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B38400);
        cfsetospeed(&t, B38400);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        char name[64] = {};
        EXPECT_EQ(openpty(&master_, &slave_, name, &t, nullptr), 0) << std::strerror(errno);
        path_ = name;
    }
    ~Pty() {
        close(master_);
        close(slave_);
    }
    const char* path() const { return path_.c_str(); }
    termios line() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};
using testing::internal::GetCapturedStderr;

// A path that is no terminal is refused as it is, and nothing is created or cut short.
TEST(OpenPanel, RefusesARegularFileUntouchedAndAMissingDevice) {
    char path[] = "/tmp/tavrin-unit-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "x", 1), 1);
    close(file);
    const std::string missing = std::string(path) + ".missing";
    for (const auto& [device, message] :
         {std::pair<std::string, const char*>{path, "Inappropriate ioctl for device"},
          {missing, "No such file or directory"}}) {
        CaptureStderr();
        EXPECT_FALSE(openPanel(device.c_str()));
        EXPECT_EQ(GetCapturedStderr(), std::string("openPanel: ") + message + "\n");
    }
    struct stat st {};
    EXPECT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_size, 1);
    EXPECT_NE(stat(missing.c_str(), &st), 0);
    unlink(path);
}

// Even a shared lock on the port means someone else is using it: ours must be exclusive.
TEST(OpenPanel, BusyWhenAnotherDescriptorHoldsALock) {
    Pty pty;
    const termios before = pty.line();
    int other = open(pty.path(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
    CaptureStderr();
    Port port = openPanel(pty.path());
    EXPECT_EQ(GetCapturedStderr(), "openPanel: device is busy\n");
    EXPECT_FALSE(port);
    EXPECT_TRUE(sameLine(pty.line(), before));
    close(other);
    EXPECT_TRUE(openPanel(pty.path()));
}

TEST(OpenPanel, NeverBecomesTheControllingTerminalAndClosesOnExec) {
    Pty pty;
    Port port = openPanel(pty.path());
    ASSERT_TRUE(port);
    EXPECT_NE(fcntl(port.fd(), F_GETFD) & FD_CLOEXEC, 0);
    port.close();
    // A session leader without a terminal takes the first one it opens, unless told not to.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();
        Port inChild = openPanel(pty.path());
        _exit(inChild && tcgetsid(inChild.fd()) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
