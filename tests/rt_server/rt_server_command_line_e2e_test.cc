// The router's command line, pid lock and start-up, as an operator meets them.
#include <signal.h>

#include <filesystem>
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
    EXPECT_NE(out.find("default config file.\n      --check-config\t\tCheck the configuration "
                       "files and exit.\n\n"),
              std::string::npos)
        << out;
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

// --check-config judges the files as they are and leaves everything else alone: a running
// router keeps its pid file, nothing listens on the configured port, no row changes.
TEST_F(RtServerCommandLineTest, CheckConfigSaysOkWithoutPidFileSocketOrDatabase) {
    ASSERT_TRUE(tables_.Exec("INSERT INTO bd_agent (agent_uuid, online_flag) VALUES ('a-1', '1')"));
    EXPECT_EQ(Run({"--check-config"}), 0);
    EXPECT_EQ(router_->Stdout(), "configuration ok\n");
    EXPECT_EQ(router_->Stderr(), "");
    EXPECT_FALSE(std::filesystem::exists(root_.Path() + "/var/run/norvale/rt_server.pid"));
    EXPECT_FALSE(std::filesystem::exists(root_.Path() + "/log"));
    EXPECT_FALSE(RtRouterAccepts(router_->Port()));
    EXPECT_EQ(tables_.AgentOnline("a-1"), "1");

    StartRouter();
    const std::string pidFile = router_->PidFile();
    RtServerProcess check(root_.Path(), database_, "check");
    ASSERT_TRUE(check.Start({"-b", "--check-config"}));
    EXPECT_EQ(check.WaitExit(10000), 0) << check.Stderr();
    EXPECT_EQ(check.Stdout(), "configuration ok\n");
    EXPECT_EQ(router_->PidFile(), pidFile);
    EXPECT_TRUE(router_->Running());
}

TEST_F(RtServerCommandLineTest, CheckConfigNamesWhatIsWrongAndExitsOne) {
    const std::string etc = root_.Path() + "/etc/norvale/";
    router_->AddRouterSettings("<max_uuids_per_connection>0</max_uuids_per_connection>\n");
    std::filesystem::rename(etc + "common_server.conf.xml", etc + "common.saved");
    EXPECT_EQ(Run({"--check-config"}), 1);
    EXPECT_EQ(router_->Stdout(), "");
    const std::string err = router_->Stderr();
    EXPECT_NE(err.find(etc + "common_server.conf.xml: missing\n"), std::string::npos) << err;
    EXPECT_NE(err.find(etc + "rt_server.conf.xml: max_uuids_per_connection must be at least 1\n"),
              std::string::npos)
        << err;
    EXPECT_FALSE(std::filesystem::exists(root_.Path() + "/var/run/norvale/rt_server.pid"));

    // Valid files that name a TLS listener whose certificate is not there.
    std::filesystem::rename(etc + "common.saved", etc + "common_server.conf.xml");
    RtRouterTls tls;
    tls.ca_file = etc + "ca.pem";
    ASSERT_TRUE(router_->ConfigureTls(tls));
    EXPECT_EQ(Run({"--check-config"}), 1);
    EXPECT_NE(router_->Stderr().find("TLS certificate file " + etc +
                                     "certificate.pem: No such file or directory\n"),
              std::string::npos)
        << router_->Stderr();
}

}  // namespace
