// Signals reach the router whatever its loop is doing: while pairs stream as fast as they can (so
// every turn finds input ready and the loop never sleeps in its wait), and while an upgrade
// executes the new image.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rt_server_e2e_fixture.h"

namespace {

class RtServerSignalTest : public RtServerReadyTest {
  protected:
    bool LogHas(const std::string &text, int timeoutMs) {
        return Eventually([&] { return router_->Log().find(text) != std::string::npos; },
                          timeoutMs);
    }
};

// Senders write bursts of 64 packets of 16 KiB (one read slice of the router) without pause and
// receivers read raw bytes as fast as they come, so the router always has more to read than one
// turn takes.
class RtServerBusySignalTest : public RtServerSignalTest {
  protected:
    static constexpr int kPairs = 3;

    void SetUp() override {
        RtServerSignalTest::SetUp();
        if (IsSkipped())
            return;
        for (int i = 0; i < kPairs; ++i) {
            senders_.push_back(std::make_unique<RtPeerClient>());
            receivers_.push_back(std::make_unique<RtPeerClient>());
            const std::string from = "send-" + std::to_string(i), to = "recv-" + std::to_string(i);
            Register(senders_.back().get(), kBdHandShakeClient, from);
            Register(receivers_.back().get(), kBdHandShakeClient, to);
            const RtPeerPacket packet =
                RtPeerPacket::Normal(Route(from, to), std::string(16384, 'b'));
            std::string burst;
            for (int n = 0; n < 64; ++n)
                burst.append(packet.Data(), packet.Length());
            threads_.emplace_back([this, sender = senders_.back().get(), burst] {
                while (streaming_ && sender->SendBytes(burst.data(), burst.size()) == 0) {
                }
            });
            threads_.emplace_back([this, fd = receivers_.back()->GetFD()] {
                std::vector<char> buffer(1 << 20);
                while (streaming_) {
                    pollfd readable{fd, POLLIN, 0};
                    if (poll(&readable, 1, 100) <= 0)
                        continue;
                    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
                    if (n <= 0)
                        break;
                    received_ += n;
                }
            });
        }
    }

    void TearDown() override {
        streaming_ = false;
        // Killing the router ends the senders' blocked writes.
        RtServerSignalTest::TearDown();
        for (std::thread &thread : threads_)
            thread.join();
    }

    // True once the receivers got another few MiB: the streams flow.
    bool Flowing() {
        const int64_t before = received_;
        return Eventually([&] { return received_ > before + (16 << 20); }, 30000);
    }

    std::vector<std::unique_ptr<RtPeerClient>> senders_, receivers_;
    std::vector<std::thread> threads_;
    std::atomic<bool> streaming_{true};
    std::atomic<int64_t> received_{0};
};

TEST_F(RtServerBusySignalTest, ReloadAndStopAreServedWhileTheLoopNeverWaits) {
    ASSERT_TRUE(Flowing());
    ASSERT_EQ(kill(router_->Pid(), SIGHUP), 0);
    EXPECT_TRUE(LogHas("configuration reloaded", 20000)) << router_->Log();
    ASSERT_TRUE(Flowing());
    ASSERT_EQ(kill(router_->Pid(), SIGTERM), 0);
    EXPECT_TRUE(LogHas("stop signal received, rt_server stopping", 20000)) << router_->Log();
    EXPECT_EQ(router_->WaitExit(30000), 0);
}

// A signal sent after the serving image has begun to execute the new one stays pending across
// the exec (the new image starts with the old one's mask) and is served by the new image, rather
// than ending the process when its start-up would unblock it.
TEST_F(RtServerSignalTest, ASignalSentDuringTheUpgradesExecIsServedByTheNewImage) {
    const pid_t pid = router_->Pid();
    ASSERT_EQ(kill(pid, SIGUSR2), 0);
    // Logged right before the exec: from here on the old image never turns its loop again. Looked
    // for closely, so the signal comes before the new image is far into its start-up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoopTurnMs);
    while (router_->Log().find("upgrade: handing") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << router_->Log();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    Eventually([&] { return !router_->Running() || LogHas("configuration reloaded", 0); }, 30000);
    ASSERT_TRUE(router_->Running()) << router_->Log();
    EXPECT_EQ(router_->Pid(), pid);
    EXPECT_TRUE(LogHas("upgrade: took over 1 connections", 0)) << router_->Log();
    EXPECT_TRUE(LogHas("configuration reloaded", 0)) << router_->Log();
    RtPeerClient agent;
    Register(&agent, kBdHandShakeClient, "agent-1");
}

// The binary an upgrade checks runs as a child with no signal blocked: the router's own signals
// are its business only.
TEST_F(RtServerSignalTest, TheCheckedBinaryStartsWithACleanSignalMask) {
    namespace fs = std::filesystem;
    const std::string binary = root_.Path() + "/rt_server";
    fs::copy_file(RT_SERVER_BINARY_FOR_TESTS, binary);
    router_->Kill();
    router_->SetBinary(binary);
    StartRouter();
    fs::remove(binary);
    // The shell's own mask, read by builtins alone: a shell blocks everything while it forks.
    std::ofstream(binary) << "#!/bin/sh\nwhile read -r key value; do\n"
                             "  [ \"$key\" = SigBlk: ] && echo \"$key $value\" >&2\n"
                             "done < /proc/$$/status\nexit 1\n";
    fs::permissions(binary, fs::perms::owner_all);
    ASSERT_EQ(kill(router_->Pid(), SIGUSR2), 0);
    EXPECT_TRUE(LogHas("upgrade refused", kLoopTurnMs)) << router_->Log();
    EXPECT_TRUE(LogHas("(exit status 1: SigBlk: 0000000000000000)", 0)) << router_->Log();
}

}  // namespace
