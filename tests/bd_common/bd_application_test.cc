#include "bd_common/bd_application.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "support/file_text.h"

namespace {

class TestApplication : public BdApplication {
  public:
    int main(int argc, char **argv) override { return BdApplication::main(argc, argv); }
};

// Runs ParseArgs over words and returns what it printed on standard output.
std::string ParseCapturing(BdApplication *app, std::initializer_list<const char *> words,
                           bool *ok) {
    std::vector<std::string> storage(words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &word : storage)
        argv.push_back(&word[0]);
    testing::internal::CaptureStdout();
    *ok = app->ParseArgs(static_cast<int>(argv.size()), argv.data());
    return testing::internal::GetCapturedStdout();
}

TEST(BdApplicationArgsTest, HelpStopsTheWalkBeforeLaterOptions) {
    TestApplication app;
    bool ok = false;
    const std::string out = ParseCapturing(&app, {"rt_server", "-h", "-b"}, &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(app.IsExit());
    EXPECT_FALSE(app.IsRunInbackground());
    EXPECT_EQ(out,
              "rt_server: Norvale backup and recovery system\n\nUsage: rt_server [options]\n"
              "Options:\n"
              "  -h, --help\t\t\tDisplay this help message and exit.\n"
              "  -v, --version\t\t\tDisplay version information and exit.\n"
              "  -b, --background\t\tRun this program in background.\n"
              "  -c, --config [path]\t\tThe config file for this program, otherwise it will use "
              "the default config file.\n\n");
}

// The walk goes on past a non-option word and stops after help or version, keeping what came
// before; the version text itself is checked where the router is run.
TEST(BdApplicationArgsTest, OptionsBeforeAnExitAndAfterAWordApply) {
    const struct {
        std::initializer_list<const char *> words;
        bool exit;
        const char *config;
    } cases[] = {
        {{"rt_server", "-bc/x"}, false, "/x"},
        {{"rt_server", "-b", "--version"}, true, ""},
        {{"rt_server", "word", "-b"}, false, ""},
    };
    for (const auto &c : cases) {
        TestApplication app;
        bool ok = false;
        const std::string out = ParseCapturing(&app, c.words, &ok);
        EXPECT_TRUE(ok) << *(c.words.begin() + 1);
        EXPECT_TRUE(app.IsRunInbackground()) << *(c.words.begin() + 1);
        EXPECT_EQ(app.IsExit(), c.exit) << *(c.words.begin() + 1);
        EXPECT_EQ(app.GetConfigPath(), c.config) << *(c.words.begin() + 1);
        EXPECT_EQ(out.empty(), !c.exit) << out;
    }
}

// Fixed paths of these tests live under a private NORVALE_ROOT.
class BdApplicationFilesTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/bd_application_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("NORVALE_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("NORVALE_ROOT");
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
    std::string root_;
};

TEST_F(BdApplicationFilesTest, PidFileHoldsPidAndNulAndRefusesASecondProcess) {
    TestApplication app;
    ASSERT_TRUE(app.IsRunning("rt_server.pid"));
    // Record locks are per process, so the refusal can only be seen from another process. The
    // file is read only afterwards: closing any descriptor of it would drop this process's lock.
    testing::internal::CaptureStderr();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TestApplication second;
        _exit(second.IsRunning("rt_server.pid") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "process already running\n");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // The loser must not have rewritten the winner's pid.
    EXPECT_EQ(ReadFileText(root_ + "/var/run/norvale/rt_server.pid"),
              std::to_string(getpid()) + std::string(1, '\0'));
}

TEST_F(BdApplicationFilesTest, StalePidFileIsTakenOver) {
    ASSERT_EQ(system(("mkdir -p '" + root_ + "/var/run/norvale' && printf '99999999 old' > '" +
                      root_ + "/var/run/norvale/stale.pid'")
                         .c_str()),
              0);
    TestApplication app;
    EXPECT_TRUE(app.IsRunning("stale.pid"));
    EXPECT_EQ(ReadFileText(root_ + "/var/run/norvale/stale.pid"),
              std::to_string(getpid()) + std::string(1, '\0'));
    EXPECT_FALSE(app.IsRunning(""));
}

TEST_F(BdApplicationFilesTest, UuidFileIsCreatedOnceAndReadBack) {
    TestApplication app;
    std::string first, second;
    ASSERT_TRUE(app.LoadProcessUUID("router-server", &first));
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(ReadFileText(root_ + "/etc/norvale/backup-system/uuid/router-server"), first);
    ASSERT_TRUE(app.LoadProcessUUID("router-server", &second));
    EXPECT_EQ(second, first);
}

TEST_F(BdApplicationFilesTest, UuidFileContentIsTakenUnvalidatedUpToNul) {
    const std::string dir = root_ + "/etc/norvale/backup-system/uuid/";
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && printf 'not-a-uuid\\n' > '" + dir +
                      "a' && printf 'abc\\000def' > '" + dir + "b'")
                         .c_str()),
              0);
    TestApplication app;
    std::string uuid;
    ASSERT_TRUE(app.LoadProcessUUID("a", &uuid));
    EXPECT_EQ(uuid, "not-a-uuid\n");
    ASSERT_TRUE(app.LoadProcessUUID("b", &uuid));
    EXPECT_EQ(uuid, "abc");
}

TEST_F(BdApplicationFilesTest, NodeUuidMustBeExactlyOneUuid) {
    TestApplication app;
    std::string uuid;
    EXPECT_EQ(app.LoadNodeProcessUuid(nullptr), 4);
    EXPECT_EQ(app.LoadNodeProcessUuid(&uuid), 95);
    const std::string dir = root_ + "/etc/norvale/backup-system/uuid/";
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && printf 'short' > '" + dir + "node-sid'").c_str()),
              0);
    EXPECT_EQ(app.LoadNodeProcessUuid(&uuid), 89);
    const std::string good = "0123456789abcdef0123456789abcdef0123";
    ASSERT_EQ(system(("printf '" + good + "' > '" + dir + "node-sid'").c_str()), 0);
    EXPECT_EQ(app.LoadNodeProcessUuid(&uuid), 0);
    EXPECT_EQ(uuid, good);
}

TEST(BdApplicationSignalTest, OnlySigpipeIsBlocked) {
    sigset_t saved;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &saved), 0);
    sigset_t blockAlarm;
    sigemptyset(&blockAlarm);
    sigaddset(&blockAlarm, SIGALRM);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &blockAlarm, nullptr), 0);

    TestApplication app;
    EXPECT_EQ(app.IgnoreSignal(), 0);
    sigset_t now;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &now), 0);
    EXPECT_TRUE(sigismember(&now, SIGPIPE));
    EXPECT_FALSE(sigismember(&now, SIGALRM));
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace
