// SPDX-License-Identifier: MIT
// The self-test: the mask it sends, the mask it reports, and a controller that says nothing.
#include <gtest/gtest.h>

#include "pty_line.h"
#include "testing.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

using Diagnostics = PanelLine;

const Packet kRequest = {0x55, 'D', 0x0f};

struct Outcome {
    int result;
    bool ok;
    std::string out;
    std::string err;
    std::vector<Packet> sent;
};

Outcome run(Pty& pty, int fd, std::vector<Step> script) {
    Controller controller(pty, std::move(script));
    Outcome o{};
    CaptureStdout();
    CaptureStderr();
    o.result = runDiagnostics(fd, 0x0f, o.ok);
    o.err = GetCapturedStderr();
    o.out = GetCapturedStdout();
    o.sent = controller.finish();
    return o;
}

TEST_F(Diagnostics, PassedSelfTestPrintsNothing) {
    Outcome o = run(pty_, fd(), {{join({{0x55, 'D', 0x00}, {0x55, 'd', 0xee}})}});
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.sent, std::vector<Packet>{kRequest});
}

TEST_F(Diagnostics, FailureMaskIsPrintedWithoutNewline) {
    Outcome o = run(pty_, fd(), {{join({{0x55, 'D', 0x05}, {0x55, 'd', 0x00}})}});
    EXPECT_EQ(o.result, 5);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.out, "dmask = 5");
}

TEST_F(Diagnostics, SilenceFailsWithTheMaskSent) {
    Outcome o = run(pty_, fd(), {});
    EXPECT_EQ(o.result, 0x0f);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.out, "dmask = f");
    // No second wait for the packet that follows a reply that never came.
    EXPECT_EQ(o.err, "Timeout while reading packet\n");
}

}  // namespace
