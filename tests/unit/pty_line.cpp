// SPDX-License-Identifier: MIT
#include "pty_line.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "main.h"

Bytes join(std::initializer_list<Packet> packets) {
    Bytes out;
    for (const Packet& p : packets) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes head(const Packet& pkt, std::size_t n) {
    return Bytes(pkt.begin(), pkt.begin() + static_cast<std::ptrdiff_t>(n));
}

termios initialLine() {
    termios t{};
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    return t;
}

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

Pty::Pty() {
    termios line = initialLine();
    char name[64] = {};
    if (openpty(&master_, &slave_, name, &line, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return;
    }
    path_ = name;
}

Pty::~Pty() {
    closeMaster();
    if (slave_ >= 0) {
        close(slave_);
    }
}

termios Pty::line() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave_, &t), 0);
    return t;
}

void Pty::sendQueued(const Bytes& bytes) const {
    int before = 0;
    ioctl(slave_, FIONREAD, &before);
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int queued = 0;
    while (ioctl(slave_, FIONREAD, &queued) == 0 &&
           queued < before + static_cast<int>(bytes.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(1000);
    }
    ASSERT_EQ(queued, before + static_cast<int>(bytes.size()));
}

void Pty::closeMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

Controller::Controller(Pty& pty, std::vector<Step> script)
    : pty_(pty), script_(std::move(script)), thread_([this] { run(); }) {}

Controller::~Controller() {
    finish();
}

std::vector<Packet> Controller::finish() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    return received_;
}

void Controller::run() {
    Bytes pending;
    std::size_t step = 0;
    for (;;) {
        // Once told to stop, goes on until the line has been quiet long enough for the last
        // packet written on the other side to come through.
        const bool stopping = stop_;
        pollfd p{pty_.master(), POLLIN, 0};
        int n = poll(&p, 1, stopping ? 100 : 20);
        if (n == 0) {
            if (stopping) {
                return;
            }
            continue;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        std::uint8_t buf[256];
        ssize_t got = read(pty_.master(), buf, sizeof buf);
        if (got <= 0) {
            return;  // EIO: every descriptor on the other side is closed
        }
        pending.insert(pending.end(), buf, buf + got);
        while (pending.size() >= 10) {
            Packet pkt{};
            std::copy(pending.begin(), pending.begin() + 10, pkt.begin());
            pending.erase(pending.begin(), pending.begin() + 10);
            received_.push_back(pkt);
            if (step < script_.size()) {
                const Step& s = script_[step++];
                if (!s.reply.empty()) {
                    EXPECT_EQ(write(pty_.master(), s.reply.data(), s.reply.size()),
                              static_cast<ssize_t>(s.reply.size()));
                }
                if (s.hangUp) {
                    pty_.closeMaster();
                    return;
                }
            }
        }
    }
}

void PanelLine::SetUp() {
    setReplyTimeoutMs(kShortTimeoutMs);
    options.dump = false;
    port_ = openPanel(pty_.path());
    ASSERT_TRUE(port_);
}

void PanelLine::TearDown() {
    setReplyTimeoutMs(kReplyTimeoutMs);
    options.dump = false;
}
