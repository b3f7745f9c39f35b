// The router's command line, pid lock and start-up, as an operator meets them.
#include <signal.h>

#include <string>

#include "rt_server_e2e_fixture.h"

namespace {

class RtServerCommandLineTest : public RtServerE2eTest {
  protected:
    RtServerCommandLineTest() { start_router_in_setup_ = false; }

    void TearDown() override {
        if (detached_pid_ > 0)
            kill(detached_pid_, SIGKILL);
        RtServerE2eTest::TearDown();
    }

    // Runs the binary with args to its end; its exit status.
    int Run(const std::vector<std::string> &args) {
        EXPECT_TRUE(router_->Start(args));
        return router_->WaitExit(60000);
    }

    pid_t detached_pid_ = 0;  // a router that detached with -b; not our child
};

const char kHint[] = "Try 'rt_server -h or --help' for more information.\n";

TEST_F(RtServerCommandLineTest, HelpIsPrintedAndTheProcessEndsWithZero) {
    EXPECT_EQ(Run({"--help"}), 0);
    const std::string out = router_->Stdout();
    EXPECT_EQ(
        out.rfind("rt_server: Norvale backup and recovery system\n\nUsage: rt_server [options]\n"
                  "Options:\n  -h, --help\t\t\tDisplay this help message and exit.\n",
                  0),
        0u)
        << out;
    EXPECT_EQ(out.substr(out.size() - 3), ".\n\n");
}

TEST_F(RtServerCommandLineTest, VersionIsTwoLines) {
    EXPECT_EQ(Run({"-v"}), 0);
    const std::string out = router_->Stdout();
    EXPECT_EQ(out.rfind("rt_server v2.0\n", 0), 0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST_F(RtServerCommandLineTest, ArgumentErrorsEndWith255) {
    EXPECT_EQ(Run({"-x"}), 255);
    EXPECT_EQ(router_->Stdout(), std::string("rt_server: invalid option -- x\n") + kHint +
                                     "main: fail to parse the args\n");
    EXPECT_EQ(Run({"--help=yes"}), 255);
    EXPECT_EQ(router_->Stdout(),
              std::string("rt_server: option '--help' doesn't allow an argument\n") + kHint +
                  "main: fail to parse the args\n");
    EXPECT_EQ(Run({"-c"}), 255);
    EXPECT_EQ(router_->Stdout().rfind("rt_server: option requires an argument -- c\n", 0), 0u);
}

TEST_F(RtServerCommandLineTest, BackgroundWithConfigDetachesAndServes) {
    EXPECT_EQ(Run({"-bc/x"}), 0);  // the parent of the detached process
    ASSERT_TRUE(Eventually(
        [&] {
            detached_pid_ = std::atoi(router_->PidFile().c_str());
            return detached_pid_ > 0 && kill(detached_pid_, 0) == 0;
        },
        10000));
    RtPeerClient platform;
    ASSERT_TRUE(
        Eventually([&] { return platform.Connect("127.0.0.1", router_->Port()) == 0; }, 30000));
    RtPeerPacket answer;
    EXPECT_EQ(platform.HandShake(kBdHandShakeServerPlatform, Identity("platform-1"), &answer), 0);
    EXPECT_TRUE(answer.IsControl(kBdControlHandShakeSuccess));
}

TEST_F(RtServerCommandLineTest, SecondInstanceIsRefusedAndPidFileNamesTheFirst) {
    StartRouter();
    const pid_t first = router_->Pid();
    EXPECT_EQ(router_->PidFile(), std::to_string(first) + std::string(1, '\0'));

    RtServerProcess second(root_.Path(), database_, "second");
    // The second writes its own configuration with another port; the lock alone must stop it.
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitExit(10000), 255);
    EXPECT_EQ(second.Stderr(), "process already running\n");
    EXPECT_EQ(router_->PidFile(), std::to_string(first) + std::string(1, '\0'));
    EXPECT_TRUE(router_->Running());
}

}  // namespace
